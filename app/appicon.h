#pragma once

#include <QIcon>

// The program's icon at every size it is drawn in (dist/icons), from PNGs
// built into the program, so it shows even where Qt's SVG plug-in is missing.
QIcon applicationIcon();

#pragma once

class QSplitter;
class QWidget;

// The fixed-size forms were laid out for a font in which their texts fit. In a
// wider one (Debian's DejaVu Sans, offscreen as under X) a label or button
// shows only part of its text, or its neighbour covers it. These give such
// widgets the width their texts need and grow the form just enough to hold
// them; a form whose texts fit keeps its size.

// For a form whose widgets stand in the layout of `content`, a child of fixed
// geometry. Its labels keep one width, the widest text's, so that the fields
// beside them stay in line.
void fitTextsInLayout(QWidget *form, QWidget *content);

// For a row of buttons in a splitter of fixed geometry, aligned to the right
// of the form; it grows to the left, but not past `leftLimit`.
void fitButtonRow(QWidget *form, QSplitter *row, int leftLimit);

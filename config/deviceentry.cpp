#include "config/deviceentry.h"

QString shownDeviceName(const QString &name)
{
    if (name.size() <= kMaxShownNameLength)
        return name;
    int kept = kMaxShownNameLength - 1;
    // Half a surrogate pair would show as a box.
    if (name.at(kept - 1).isHighSurrogate())
        --kept;
    return name.left(kept) + QChar(0x2026);
}

#pragma once

#include <QString>

// One registered meter as Settings.conf holds it: a display name and an MQTT
// topic, neither of them unique.
struct DeviceEntry
{
    QString name;
    QString topic;
};

// A device name as a list row or a tab title shows it. Names come from a
// hand-editable file, and Qt shapes the whole of a text to elide it, on every
// layout and repaint, so a name of megabytes would freeze the window for
// minutes. Longer names are cut to kMaxShownNameLength characters, the last
// of them an ellipsis; the file keeps the whole name.
constexpr int kMaxShownNameLength = 256;
QString shownDeviceName(const QString &name);

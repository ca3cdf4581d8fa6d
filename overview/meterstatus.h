#pragma once

#include <QDateTime>
#include <QIcon>
#include <QString>

class MeterBoard;
struct MeterState;

// How a meter's state reads wherever it is shown in words or as a disc: the tabs, their
// tooltips and the summary table.

// "в сети", "не в сети" or "нет данных".
QString meterStateText(const MeterState &meter);
// The tab's tooltip: the state and the time of the last reading, with its date when that is
// not the date of `now`.
QString meterToolTip(const MeterState &meter, const QDateTime &now);
// The local date and time of a reading, as the summary table shows it.
QString receivedText(qint64 msecsSinceEpoch);

// A green disc for online, a grey one otherwise.
QIcon meterStateIcon(bool online);
// A disc that reads meter `index` of board whenever it is painted, so that a change of state
// needs only a repaint, never a new icon (which would lay out the whole tab bar again).
QIcon liveMeterStateIcon(const MeterBoard *board, int index);

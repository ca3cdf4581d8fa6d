#pragma once

#include "watch/meterwatch.h"

#include <QDateTime>
#include <QIcon>
#include <QString>

struct MeterState;

// How a meter's state reads wherever it is shown in words or as a disc: the tabs, their
// tooltips, the summary table and the tray.

// The tab's tooltip: the condition, how long a silent meter has been silent (from a minute on),
// and the time of the last reading, with its date when that is not the date of `now`; a
// retained reading's time is unknown.
QString meterToolTip(const MeterState &meter, MeterCondition condition, const QDateTime &now);
// The local date and time of a reading, as the summary table shows it.
QString receivedText(qint64 msecsSinceEpoch);
// "12 мин", "3 ч 5 мин", "2 дн 4 ч".
QString ageText(qint64 seconds);

// A disc for the condition: red, amber, amber with a dark dot, green, grey.
QIcon conditionIcon(MeterCondition condition);
// A disc that reads meter `index` of watch whenever it is painted, so that a change of state
// needs only a repaint, never a new icon (which would lay out the whole tab bar again).
QIcon liveConditionIcon(const MeterWatch *watch, int index);

#pragma once

#include <QMetaType>
#include <QString>

// What happened to a meter or to the broker connection, as the event log keeps it and the
// desktop is told of it. The numbers are stored: append new kinds at the end.
enum class EventKind
{
    Silent,        // "не в сети": heard before, silent now while connected
    BackOnline,    // "снова в сети", after Silent
    VoltageLow,    // value below limit
    VoltageHigh,   // value above limit
    VoltageNormal, // back within its limits
    FrequencyLow,
    FrequencyHigh,
    FrequencyNormal,
    ServiceOverdue, // the maintenance plan's interval has run out
    ServiceMarked,  // a service was marked in the maintenance dialog
    BrokerLost,     // the connection to the broker broke
    BrokerBack,     // connected again after BrokerLost
};
inline constexpr int kEventKindCount = int(EventKind::BrokerBack) + 1;

// The kinds the event log filters by.
enum class EventGroup
{
    Connection, // Silent, BackOnline
    Voltage,
    Frequency,
    Service,
    Broker,
};
inline constexpr int kEventGroupCount = int(EventGroup::Broker) + 1;

struct WatchEvent
{
    qint64 timeMs = 0; // since the epoch
    EventKind kind = EventKind::Silent;
    // The meter's; empty for the broker's events.
    QString topic;
    QString meter;
    // The value that crossed a limit and that limit, for the kinds that have them.
    int value = 0;
    int limit = 0;
};
Q_DECLARE_METATYPE(WatchEvent)

EventGroup eventGroup(EventKind kind);
// "напряжение 187 В ниже предела 198 В", "не в сети", ...
QString eventText(const WatchEvent &event);
// "Связь со счётчиком", "Напряжение", ...: the filter's words for a group.
QString eventGroupText(EventGroup group);

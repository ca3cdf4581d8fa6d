#include "watch/watchevent.h"

#include <QCoreApplication>

namespace {

QString translated(const char *text)
{
    return QCoreApplication::translate("WatchEvent", text);
}

} // namespace

EventGroup eventGroup(EventKind kind)
{
    switch (kind) {
    case EventKind::Silent:
    case EventKind::BackOnline:
        return EventGroup::Connection;
    case EventKind::VoltageLow:
    case EventKind::VoltageHigh:
    case EventKind::VoltageNormal:
        return EventGroup::Voltage;
    case EventKind::FrequencyLow:
    case EventKind::FrequencyHigh:
    case EventKind::FrequencyNormal:
        return EventGroup::Frequency;
    case EventKind::ServiceOverdue:
    case EventKind::ServiceMarked:
        return EventGroup::Service;
    case EventKind::BrokerLost:
    case EventKind::BrokerBack:
        return EventGroup::Broker;
    }
    return EventGroup::Broker;
}

QString eventText(const WatchEvent &event)
{
    switch (event.kind) {
    case EventKind::Silent:
        return translated("не в сети");
    case EventKind::BackOnline:
        return translated("снова в сети");
    case EventKind::VoltageLow:
        return translated("напряжение %1 В ниже предела %2 В").arg(event.value).arg(event.limit);
    case EventKind::VoltageHigh:
        return translated("напряжение %1 В выше предела %2 В").arg(event.value).arg(event.limit);
    case EventKind::VoltageNormal:
        return translated("напряжение в норме");
    case EventKind::FrequencyLow:
        return translated("частота %1 Гц ниже предела %2 Гц").arg(event.value).arg(event.limit);
    case EventKind::FrequencyHigh:
        return translated("частота %1 Гц выше предела %2 Гц").arg(event.value).arg(event.limit);
    case EventKind::FrequencyNormal:
        return translated("частота в норме");
    case EventKind::ServiceOverdue:
        return translated("обслуживание просрочено");
    case EventKind::ServiceMarked:
        return translated("обслуживание отмечено");
    case EventKind::BrokerLost:
        return translated("нет связи с брокером");
    case EventKind::BrokerBack:
        return translated("связь с брокером восстановлена");
    }
    return {};
}

QString eventGroupText(EventGroup group)
{
    switch (group) {
    case EventGroup::Connection:
        return translated("Связь со счётчиком");
    case EventGroup::Voltage:
        return translated("Напряжение");
    case EventGroup::Frequency:
        return translated("Частота");
    case EventGroup::Service:
        return translated("Обслуживание");
    case EventGroup::Broker:
        return translated("Брокер");
    }
    return {};
}

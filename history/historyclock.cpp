#include "history/historyclock.h"

#include <QDateTime>
#include <QDeadlineTimer>

HistoryClock::~HistoryClock() = default;

qint64 HistoryClock::utcSeconds() const
{
    return QDateTime::currentSecsSinceEpoch();
}

qint64 HistoryClock::steadyMs() const
{
    // The monotonic clock, which setting the date does not move.
    return QDeadlineTimer::current().deadline();
}

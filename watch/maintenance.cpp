#include "watch/maintenance.h"

#include <QCoreApplication>
#include <QStringList>

#include <limits>

namespace {

QString translated(const char *text)
{
    return QCoreApplication::translate("Maintenance", text);
}

constexpr qint64 kSecondsPerHour = 3600;

} // namespace

MaintenanceStatus maintenanceStatus(const MaintenancePlan &plan, const std::optional<Reading> &reading)
{
    MaintenanceStatus status;
    status.planned = plan.hasInterval();
    if (!status.planned || !reading)
        return status;
    status.known = true;
    const qint64 seconds = reading->tCommon;
    const qint64 starts = reading->numStarts;
    if (seconds < plan.markSeconds || starts < plan.markStarts) {
        status.reset = true;
        return status;
    }
    if (plan.intervalHours)
        status.secondsLeft = plan.markSeconds + *plan.intervalHours * kSecondsPerHour - seconds;
    if (plan.intervalStarts)
        status.startsLeft = plan.markStarts + *plan.intervalStarts - starts;
    return status;
}

QString serviceTimeText(qint64 seconds)
{
    if (seconds >= kSecondsPerHour)
        return translated("%1 ч").arg(seconds / kSecondsPerHour);
    return translated("%1 мин").arg(seconds / 60);
}

QString countNoun(qint64 count, const QString &one, const QString &few, const QString &many)
{
    const qint64 tens = (count < 0 ? -count : count) % 100;
    const qint64 units = tens % 10;
    if (units == 1 && tens != 11)
        return one;
    if (units >= 2 && units <= 4 && (tens < 12 || tens > 14))
        return few;
    return many;
}

QString startsText(qint64 starts)
{
    return QString::number(starts) + QLatin1Char(' ') +
           countNoun(starts, translated("пуск"), translated("пуска"), translated("пусков"));
}

QString maintenanceText(const MaintenanceStatus &status)
{
    if (!status.known)
        return {};
    if (status.reset)
        return translated("счётчик заменён или сброшен");
    QStringList overdue;
    QStringList ahead;
    if (status.secondsLeft) {
        const qint64 left = *status.secondsLeft;
        // Under an hour ahead, the minutes are rounded up: "через 0 мин" would read as due.
        if (left > 0)
            ahead << serviceTimeText(left >= kSecondsPerHour ? left : (left + 59) / 60 * 60);
        else
            overdue << serviceTimeText(-left);
    }
    if (status.startsLeft) {
        const qint64 left = *status.startsLeft;
        if (left > 0)
            ahead << startsText(left);
        else
            overdue << startsText(-left);
    }
    if (!overdue.isEmpty())
        return translated("просрочено на %1").arg(overdue.join(translated(" и ")));
    return translated("через %1").arg(ahead.join(translated(" или ")));
}

qint64 maintenanceSortKey(const MaintenanceStatus &status)
{
    constexpr qint64 kLast = std::numeric_limits<qint64>::max();
    if (!status.planned)
        return kLast;
    if (!status.known)
        return kLast - 1;
    if (status.reset)
        return std::numeric_limits<qint64>::min();
    if (!status.secondsLeft)
        return kLast - 2;
    return *status.secondsLeft;
}

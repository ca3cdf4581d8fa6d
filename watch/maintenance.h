#pragma once

#include "config/settingsfile.h"
#include "measurement/payload.h"

#include <QString>

#include <optional>

// How far a meter is from its next service, by its plan and a reading of its counters.
struct MaintenanceStatus
{
    bool planned = false; // the plan has an interval of either kind
    bool known = false;   // and there is a reading to count with
    // The meter's total operating time or starts are below the mark's: it was replaced or
    // reset, and nothing can be counted until the next mark.
    bool reset = false;
    // Operating time (s) and starts until the service; 0 or below: overdue by that much.
    std::optional<qint64> secondsLeft;
    std::optional<qint64> startsLeft;

    bool overdue() const { return !reset && ((secondsLeft && *secondsLeft <= 0) || (startsLeft && *startsLeft <= 0)); }
};

MaintenanceStatus maintenanceStatus(const MaintenancePlan &plan, const std::optional<Reading> &reading);
// As the summary shows it: "через 120 ч", "просрочено на 12 ч", "через 300 пусков",
// "через 120 ч или 300 пусков", "счётчик заменён или сброшен"; empty without a plan or a reading.
QString maintenanceText(const MaintenanceStatus &status);
// What the summary sorts by: the operating time left, the most urgent first; a replaced meter
// before all, then the plans by starts alone, then the meters without a reading or a plan.
qint64 maintenanceSortKey(const MaintenanceStatus &status);
// "120 ч", "35 мин": an operating time, in whole hours from one hour on.
QString serviceTimeText(qint64 seconds);
// "1 пуск", "3 пуска", "300 пусков".
QString startsText(qint64 starts);
// The noun after a count, in the Russian way: one (1, 21, ...), few (2-4, 22-24, ...), many.
QString countNoun(qint64 count, const QString &one, const QString &few, const QString &many);

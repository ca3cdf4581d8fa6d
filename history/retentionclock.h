#pragma once

#include "history/historydata.h"

#include <optional>

// Whether retention may go by the computer's clock. Retention removes and
// folds rows by their age, so a clock set a month ahead would empty the file
// and one set two days ahead would fold every second of the last day into
// minutes, for good. The clock is trusted only while it agrees with what is
// stored and with itself:
//
// - it is not behind the newest stored row (by more than a minute, which a
//   time server's corrections may take back);
// - it has not moved more than a day further than the steady clock since the
//   last look. At the first look the newest stored row stands for the last
//   look: the program last ran then, and a clock two days past it cannot be
//   told apart from a program that was not running for two days, so both
//   wait.
//
// A clock in doubt is trusted again as soon as it agrees once more (set
// right, or caught up with the rows stored ahead of it), or once it has run
// in step with the steady clock for a whole day: then its time is taken as it
// is, together with any rows stored ahead of it.
class RetentionClock final
{
public:
    static constexpr qint64 kLeapSeconds = 24 * 60 * 60;
    static constexpr qint64 kBehindToleranceSeconds = 60;
    static constexpr qint64 kSettleSeconds = 24 * 60 * 60;
    // A look that finds the clock moved this much further than the steady
    // clock since the previous look starts a doubted clock's day again.
    static constexpr qint64 kStepToleranceSeconds = 60;

    // One look before a retention step: `utc` the computer's clock, `steadyMs`
    // the steady clock, `newest` the newest second stored, if any.
    // ClockDoubt::None: retention may go by `utc`.
    ClockDoubt check(qint64 utc, qint64 steadyMs, std::optional<qint64> newest);

private:
    bool m_started = false;
    // The clock at the last look that trusted it, on both clocks.
    qint64 m_trustedUtc = 0;
    qint64 m_trustedSteadyMs = 0;
    qint64 m_lastUtc = 0;
    qint64 m_lastSteadyMs = 0;
    qint64 m_doubtSinceMs = 0;
    // Rows up to this second stood ahead of a clock that was then taken as it is.
    std::optional<qint64> m_acceptedNewest;
    ClockDoubt m_doubt = ClockDoubt::None;
};

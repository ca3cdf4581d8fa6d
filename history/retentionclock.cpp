#include "history/retentionclock.h"

#include <algorithm>
#include <cstdlib>

ClockDoubt RetentionClock::check(qint64 utc, qint64 steadyMs, std::optional<qint64> newest)
{
    if (!m_started) {
        m_started = true;
        m_trustedUtc = newest.value_or(utc);
        m_trustedSteadyMs = steadyMs;
        m_lastUtc = utc;
        m_lastSteadyMs = steadyMs;
    }
    const qint64 expected = m_trustedUtc + (steadyMs - m_trustedSteadyMs) / 1000;
    const bool ahead = utc > expected + kLeapSeconds;
    const bool behind =
        newest && (!m_acceptedNewest || *newest > *m_acceptedNewest) && utc < *newest - kBehindToleranceSeconds;
    const qint64 drift = (utc - m_lastUtc) - (steadyMs - m_lastSteadyMs) / 1000;
    m_lastUtc = utc;
    m_lastSteadyMs = steadyMs;

    const auto trust = [&] {
        m_trustedUtc = utc;
        m_trustedSteadyMs = steadyMs;
        m_doubt = ClockDoubt::None;
        return m_doubt;
    };
    if (!ahead && !behind)
        return trust();
    if (m_doubt == ClockDoubt::None || std::abs(drift) > kStepToleranceSeconds)
        m_doubtSinceMs = steadyMs;
    m_doubt = ahead ? ClockDoubt::Ahead : ClockDoubt::Behind;
    if (steadyMs - m_doubtSinceMs >= kSettleSeconds * 1000) {
        if (newest)
            m_acceptedNewest = std::max(m_acceptedNewest.value_or(*newest), *newest);
        return trust();
    }
    return m_doubt;
}

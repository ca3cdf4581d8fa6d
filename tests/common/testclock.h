#pragma once

#include "history/historyclock.h"

#include <atomic>

// A clock the test sets: the computer's clock and the steady clock move only
// when told, from any thread the history reads them on.
class TestClock final : public HistoryClock
{
public:
    explicit TestClock(qint64 utcSeconds) : m_utc(utcSeconds) {}

    qint64 utcSeconds() const override { return m_utc; }
    qint64 steadyMs() const override { return m_steadyMs; }

    // Time passing: both clocks move on.
    void pass(qint64 seconds);
    // The computer's clock set to another time; the steady clock stays.
    void set(qint64 utcSeconds) { m_utc = utcSeconds; }

private:
    std::atomic<qint64> m_utc;
    std::atomic<qint64> m_steadyMs{0};
};

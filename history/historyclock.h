#pragma once

#include <QtGlobal>

// The clocks the history goes by. The program reads the computer's; a test
// puts in one of its own, so that it can set the clock ahead or back without
// touching the machine's. Called from the writer thread: an implementation
// must be safe to read from any thread.
class HistoryClock
{
public:
    HistoryClock() = default;
    virtual ~HistoryClock();
    HistoryClock(const HistoryClock &) = delete;
    HistoryClock &operator=(const HistoryClock &) = delete;

    // UTC seconds since the epoch, as the computer's clock says: whatever an
    // administrator or a dead battery made of it.
    virtual qint64 utcSeconds() const;
    // Milliseconds from some fixed moment, which only move on, at a steady
    // pace, whatever is done to the computer's clock.
    virtual qint64 steadyMs() const;
};

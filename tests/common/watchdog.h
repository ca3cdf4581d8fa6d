#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

// Ends the test process with a message if it is still inside the watched
// scope after `timeoutMs`: for steps whose fault is a hang rather than a
// wrong answer, so that the test fails at once instead of holding CTest
// until its timeout.
class Watchdog final
{
public:
    Watchdog(int timeoutMs, const char *what);
    ~Watchdog();
    Watchdog(const Watchdog &) = delete;
    Watchdog &operator=(const Watchdog &) = delete;

private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_finished = false;
    std::thread m_thread;
};

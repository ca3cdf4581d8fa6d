#include "common/watchdog.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

Watchdog::Watchdog(int timeoutMs, const char *what)
    : m_thread([this, timeoutMs, what] {
          std::unique_lock<std::mutex> lock(m_mutex);
          if (!m_done.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_finished; })) {
              std::fprintf(stderr, "FAIL: still waiting after %d ms: %s\n", timeoutMs, what);
              std::fflush(stderr);
              std::_Exit(3);
          }
      })
{
}

Watchdog::~Watchdog()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_finished = true;
    }
    m_done.notify_one();
    m_thread.join();
}

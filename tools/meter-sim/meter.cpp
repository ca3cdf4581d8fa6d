#include "meter.h"

#include <algorithm>
#include <cstdio>
#include <limits>

namespace metersim {

namespace {

constexpr int modelCodes[] = {1, 10, 20};
constexpr std::int64_t second = 1000;
constexpr std::int64_t minute = 60 * second;
constexpr std::int64_t hour = 60 * minute;

// Runs are long and pauses short, so most readings show mode 0.
constexpr std::int64_t minRunMs = 1 * minute;
constexpr std::int64_t maxRunMs = 10 * minute;
constexpr std::int64_t minPauseMs = 5 * second;
constexpr std::int64_t maxPauseMs = 1 * minute;

std::int64_t uniform(std::mt19937 &random, std::int64_t min, std::int64_t max)
{
    return std::uniform_int_distribution<std::int64_t>(min, max)(random);
}

int toSeconds(std::int64_t ms)
{
    return static_cast<int>(std::min<std::int64_t>(ms / second, std::numeric_limits<int>::max()));
}

} // namespace

SimulatedMeter::SimulatedMeter(int number, std::mt19937 &random) : m_modelCode(modelCodes[(number - 1) % 3])
{
    // A meter that has been in service for a while, so the first readings
    // already look like a real installation's.
    m_commonMs = uniform(random, 100 * hour, 20000 * hour);
    m_starts = static_cast<int>(uniform(random, 20, 2000));
    m_lastMs = uniform(random, 10 * minute, 8 * hour);
    m_running = uniform(random, 0, 3) != 0;
    if (m_running) {
        m_currentMs = uniform(random, 0, 30 * minute);
        m_phaseLeftMs = uniform(random, minRunMs / 2, maxRunMs);
    } else {
        m_phaseLeftMs = uniform(random, minPauseMs, maxPauseMs);
    }
    m_voltage = static_cast<int>(uniform(random, 227, 233));
}

void SimulatedMeter::advance(std::int64_t simulatedMs, std::mt19937 &random)
{
    while (simulatedMs > 0) {
        const std::int64_t step = std::min(simulatedMs, m_phaseLeftMs);
        if (m_running) {
            m_currentMs += step;
            m_commonMs += step;
        }
        m_phaseLeftMs -= step;
        simulatedMs -= step;
        if (m_phaseLeftMs == 0)
            toggleRunning(random);
    }
    driftSupply(random);
}

void SimulatedMeter::toggleRunning(std::mt19937 &random)
{
    m_running = !m_running;
    if (m_running) {
        ++m_starts;
        m_currentMs = 0;
        m_phaseLeftMs = uniform(random, minRunMs, maxRunMs);
    } else {
        m_lastMs = m_currentMs;
        m_currentMs = 0;
        m_phaseLeftMs = uniform(random, minPauseMs, maxPauseMs);
    }
}

void SimulatedMeter::driftSupply(std::mt19937 &random)
{
    m_voltage = std::clamp(m_voltage + static_cast<int>(uniform(random, -1, 1)), 225, 235);
    // The grid holds 50 Hz; the meter's whole-hertz reading flickers rarely.
    const std::int64_t roll = uniform(random, 0, 19);
    m_freq = roll == 0 ? 49 : roll == 1 ? 51 : 50;
}

std::string SimulatedMeter::payload() const
{
    char text[256];
    const int length = std::snprintf(text, sizeof text,
                                     "{\"dev_type\":%d,\"dev_mode\":%d,\"num_starts\":%d,\"t_common\":%d,"
                                     "\"t_current\":%d,\"t_last\":%d,\"voltage\":%d,\"freq\":%d}",
                                     m_modelCode, m_running ? 0 : 1, m_starts, toSeconds(m_commonMs),
                                     toSeconds(m_currentMs), toSeconds(m_lastMs), m_voltage, m_freq);
    return std::string(text, static_cast<std::size_t>(length));
}

} // namespace metersim

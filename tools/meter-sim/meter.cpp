#include "meter.h"

#include <algorithm>
#include <cstdio>
#include <limits>

namespace metersim {

namespace {

constexpr int kModelCodes[] = {1, 10, 20};
constexpr std::int64_t kSecond = 1000;
constexpr std::int64_t kMinute = 60 * kSecond;
constexpr std::int64_t kHour = 60 * kMinute;

// Runs are long and pauses short, so most readings show mode 0.
constexpr std::int64_t kMinRunMs = 1 * kMinute;
constexpr std::int64_t kMaxRunMs = 10 * kMinute;
constexpr std::int64_t kMinPauseMs = 5 * kSecond;
constexpr std::int64_t kMaxPauseMs = 1 * kMinute;

std::int64_t uniform(std::mt19937 &random, std::int64_t min, std::int64_t max)
{
    return std::uniform_int_distribution<std::int64_t>(min, max)(random);
}

int toSeconds(std::int64_t ms)
{
    return static_cast<int>(std::min<std::int64_t>(ms / kSecond, std::numeric_limits<int>::max()));
}

} // namespace

SimulatedMeter::SimulatedMeter(int number, std::mt19937 &random) : m_modelCode(kModelCodes[(number - 1) % 3])
{
    // A meter that has been in service for a while, so the first readings
    // already look like a real installation's.
    m_commonMs = uniform(random, 100 * kHour, 20000 * kHour);
    m_starts = static_cast<int>(uniform(random, 20, 2000));
    m_lastMs = uniform(random, 10 * kMinute, 8 * kHour);
    m_running = uniform(random, 0, 3) != 0;
    if (m_running) {
        m_currentMs = uniform(random, 0, 30 * kMinute);
        m_phaseLeftMs = uniform(random, kMinRunMs / 2, kMaxRunMs);
    } else {
        m_phaseLeftMs = uniform(random, kMinPauseMs, kMaxPauseMs);
    }
    m_voltage = static_cast<int>(uniform(random, 227, 233));
}

void SimulatedMeter::fixSupply(int voltage, int frequency)
{
    m_fixedVoltage = voltage;
    m_fixedFreq = frequency;
    if (voltage >= 0)
        m_voltage = voltage;
    if (frequency >= 0)
        m_freq = frequency;
}

void SimulatedMeter::runFrom(std::int64_t totalSeconds, int starts)
{
    m_commonMs = totalSeconds * kSecond;
    m_starts = starts;
    m_running = true;
    m_continuous = true;
    m_currentMs = 0;
}

void SimulatedMeter::advance(std::int64_t simulatedMs, std::mt19937 &random)
{
    if (m_continuous) {
        m_currentMs += simulatedMs;
        m_commonMs += simulatedMs;
        driftSupply(random);
        return;
    }
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
        m_phaseLeftMs = uniform(random, kMinRunMs, kMaxRunMs);
    } else {
        m_lastMs = m_currentMs;
        m_currentMs = 0;
        m_phaseLeftMs = uniform(random, kMinPauseMs, kMaxPauseMs);
    }
}

void SimulatedMeter::driftSupply(std::mt19937 &random)
{
    m_voltage = std::clamp(m_voltage + static_cast<int>(uniform(random, -1, 1)), 225, 235);
    // The grid holds 50 Hz; the meter's whole-hertz reading flickers rarely.
    const std::int64_t roll = uniform(random, 0, 19);
    m_freq = roll == 0 ? 49 : roll == 1 ? 51 : 50;
    if (m_fixedVoltage >= 0)
        m_voltage = m_fixedVoltage;
    if (m_fixedFreq >= 0)
        m_freq = m_fixedFreq;
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

#pragma once

#include <cstdint>
#include <random>
#include <string>

namespace metersim {

// One operating-hours meter on a machine that starts and stops now and then.
// Time is kept in milliseconds so that short intervals still add up; the
// readings carry whole seconds.
class SimulatedMeter final
{
public:
    // number counts from 1; it picks the model code.
    SimulatedMeter(int number, std::mt19937 &random);

    // Supply values that replace the drifting ones; below 0: drifting.
    void fixSupply(int voltage, int frequency);
    // From now on the meter runs without a pause, from this total and these starts.
    void runFrom(std::int64_t totalSeconds, int starts);
    void setStarts(int starts) { m_starts = starts; }

    void advance(std::int64_t simulatedMs, std::mt19937 &random);
    std::string payload() const;

    int modelCode() const { return m_modelCode; }
    bool isRunning() const { return m_running; }

private:
    void toggleRunning(std::mt19937 &random);
    void driftSupply(std::mt19937 &random);

    int m_modelCode;
    bool m_running = true;
    std::int64_t m_phaseLeftMs = 0;
    std::int64_t m_commonMs = 0;
    std::int64_t m_currentMs = 0;
    std::int64_t m_lastMs = 0;
    int m_starts = 0;
    int m_voltage = 230;
    int m_freq = 50;
    int m_fixedVoltage = -1;
    int m_fixedFreq = -1;
    bool m_continuous = false;
};

} // namespace metersim

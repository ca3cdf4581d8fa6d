#pragma once

#include <cstdint>
#include <set>
#include <string>

namespace metersim {

struct Options
{
    std::string host = "127.0.0.1";
    int port = 1883;
    int meters = 4;
    std::string prefix = "zelmar/meter";
    int intervalMs = 1000;
    int speed = 1;
    // Each meter publishes at its own moment of the interval, the meters evenly spread over it,
    // rather than all of them together at the start of it.
    bool spread = false;
    std::set<int> silent;
    // Supply values that replace the drifting ones, on the meters in `faulty`
    // (every meter when it is empty); below 0: not replaced.
    int voltage = -1;
    int frequency = -1;
    std::set<int> faulty;
    // Every reading with the retain flag, for clients that subscribe later.
    bool retain = false;
    // Every meter starts with this total operating time (s) and these starts
    // and runs without a pause, so its total grows with the simulated time;
    // below 0: a random meter that starts and stops.
    long total = -1;
    long starts = -1;
    int qos = 0;
    bool seeded = false;
    std::uint32_t seed = 0;
    // 0 runs until a signal; anything else is the load mode's message count.
    long count = 0;
};

struct ParseResult
{
    enum class Action
    {
        Run,
        ShowHelp,
        Fail
    };
    Action action = Action::Fail;
    Options options;
    std::string error;
};

ParseResult parseOptions(int argc, char *argv[]);
std::string usageText();

// The simulator is for trying the client out on this machine; refusing any
// other address keeps a typo from flooding somebody's production broker.
bool isLoopbackHost(const std::string &host);

} // namespace metersim

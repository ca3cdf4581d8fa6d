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

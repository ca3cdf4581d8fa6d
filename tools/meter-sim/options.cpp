#include "options.h"

#include <mosquitto.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>

namespace metersim {

namespace {

constexpr int kMaxMeters = 10000;
constexpr long kMaxCount = 100000000;

bool parseInteger(const std::string &text, long min, long max, long &value)
{
    if (text.empty() || text.find_first_not_of("0123456789-+") != std::string::npos)
        return false;
    errno = 0;
    char *end = nullptr;
    const long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < min || parsed > max)
        return false;
    value = static_cast<long>(parsed);
    return true;
}

std::string rangeError(const std::string &option, const std::string &text, long min, long max)
{
    return "invalid value '" + text + "' for " + option + ": expected an integer from " + std::to_string(min) + " to " +
           std::to_string(max);
}

// Meter numbers are checked against --meters later, once every option is known.
bool parseMeterList(const std::string &text, std::set<int> &numbers)
{
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = text.find(',', start);
        const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        long number = 0;
        if (!parseInteger(item, 1, kMaxMeters, number))
            return false;
        numbers.insert(static_cast<int>(number));
        if (comma == std::string::npos)
            return true;
        start = comma + 1;
    }
}

} // namespace

bool isLoopbackHost(const std::string &host)
{
    if (host == "localhost")
        return true;
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1)
        return IN6_IS_ADDR_LOOPBACK(&v6);
    return false;
}

std::string usageText()
{
    return R"(Usage: zelmar-meter-sim [OPTION]...

Publishes simulated Zelmar operating-hours meter readings to an MQTT broker on
this machine. Meter i (counted from 1) publishes on the topic PREFIX/i one JSON
object per reading, for example
  {"dev_type":10,"dev_mode":0,"num_starts":17,"t_common":4712345,
   "t_current":312,"t_last":5400,"voltage":231,"freq":50}
Model codes cycle 1, 10, 20 over the meters. A running meter is in mode 0
("счёт"): t_common and t_current grow. A stopped meter is in mode 1
("индикация"): t_current is 0 and t_last holds the length of its last run.
Every start adds one to num_starts. Voltage stays within 225-235, frequency
within 49-51.

Options:
  --host ADDR       broker address; loopback only: 127.x.x.x, ::1 or localhost
                    (default 127.0.0.1)
  --port N          broker TCP port, 1-65535 (default 1883)
  --meters N        number of meters, 1-10000 (default 4)
  --prefix P        topic prefix, no wildcards (default zelmar/meter)
  --interval-ms MS  time between two readings of a meter, 10-3600000
                    (default 1000)
  --speed X         simulated seconds per real second, 1-3600 (default 1);
                    makes counters and run/stop changes visible sooner
  --spread          publish each meter at its own moment of the interval, the
                    meters evenly spread over it (meter i at (i-1)/N of it),
                    as a plant of meters running on their own clocks does,
                    rather than all N readings together at its start
  --silent LIST     comma-separated meter numbers, e.g. 2,4, that publish one
                    reading (retained, so late subscribers get it too) and
                    then fall silent: the client shows them "не в сети" 10 s
                    after it receives that reading
  --voltage V       report V volts (0-100000) instead of 225-235: a supply out
                    of range for the client's limits
  --frequency F     report F Hz (0-100000) instead of 49-51
  --faulty LIST     comma-separated meter numbers that --voltage and
                    --frequency apply to (default: every meter)
  --retain          publish every reading retained: a client that subscribes
                    later gets each meter's last reading at once
  --total S         every meter starts with S seconds (0-2147483647) of total
                    operating time and runs without pausing, so the total
                    grows by the simulated time: for maintenance plans
  --starts N        every meter starts with N starts (0-2147483647)
  --qos Q           QoS of the publications, 0-2 (default 0)
  --seed S          seed of the random generator, 0-4294967295, for repeatable
                    readings (default: a random seed)
  --count K         load mode: publish exactly K readings, 1-100000000, as fast
                    as possible, round robin over the meters' topics; wait
                    until all of them are sent, print the rate on standard
                    error and exit. --interval-ms and --speed do not apply;
                    --silent and --spread are refused.
  -h, --help        print this text and exit

Options with a value take it as the next argument or after '=' (--port=1884).
Stop a running simulator with Ctrl+C (SIGINT) or SIGTERM.

Exit status: 0 on success, and when SIGINT or SIGTERM stops the readings;
1 when the broker cannot be reached or refuses the connection, and when load
mode ends before all K messages are sent; 2 for a bad command line.
)";
}

ParseResult parseOptions(int argc, char *argv[])
{
    ParseResult result;
    Options &options = result.options;
    const auto fail = [&result](std::string message) {
        result.action = ParseResult::Action::Fail;
        result.error = std::move(message);
        return result;
    };
    // Each handler returns an error text, empty when the value is good.
    const auto integer = [](long min, long max, const std::function<void(long)> &store) {
        return [min, max, store](const std::string &option, const std::string &text) -> std::string {
            long value = 0;
            if (!parseInteger(text, min, max, value))
                return rangeError(option, text, min, max);
            store(value);
            return {};
        };
    };
    using Handler = std::function<std::string(const std::string &, const std::string &)>;
    const std::map<std::string, Handler> handlers{
        {"--host",
         [&options](const std::string &option, const std::string &text) -> std::string {
             if (!isLoopbackHost(text))
                 return "refusing " + option + " '" + text + "': only 127.x.x.x, ::1 and localhost are allowed";
             options.host = text;
             return {};
         }},
        {"--port", integer(1, 65535, [&options](long v) { options.port = static_cast<int>(v); })},
        {"--meters", integer(1, kMaxMeters, [&options](long v) { options.meters = static_cast<int>(v); })},
        {"--prefix",
         [&options](const std::string &option, const std::string &text) -> std::string {
             if (text.empty() || mosquitto_pub_topic_check(text.c_str()) != MOSQ_ERR_SUCCESS)
                 return "invalid value '" + text + "' for " + option + ": not a topic one can publish on";
             options.prefix = text;
             return {};
         }},
        {"--interval-ms", integer(10, 3600000, [&options](long v) { options.intervalMs = static_cast<int>(v); })},
        {"--speed", integer(1, 3600, [&options](long v) { options.speed = static_cast<int>(v); })},
        {"--silent",
         [&options](const std::string &option, const std::string &text) -> std::string {
             if (!parseMeterList(text, options.silent))
                 return "invalid value '" + text + "' for " + option +
                        ": expected comma-separated meter numbers, e.g. 2,4";
             return {};
         }},
        {"--voltage", integer(0, 100000, [&options](long v) { options.voltage = static_cast<int>(v); })},
        {"--frequency", integer(0, 100000, [&options](long v) { options.frequency = static_cast<int>(v); })},
        {"--faulty",
         [&options](const std::string &option, const std::string &text) -> std::string {
             if (!parseMeterList(text, options.faulty))
                 return "invalid value '" + text + "' for " + option +
                        ": expected comma-separated meter numbers, e.g. 2,4";
             return {};
         }},
        {"--total", integer(0, 2147483647L, [&options](long v) { options.total = v; })},
        {"--starts", integer(0, 2147483647L, [&options](long v) { options.starts = v; })},
        {"--qos", integer(0, 2, [&options](long v) { options.qos = static_cast<int>(v); })},
        {"--seed", integer(0, 4294967295L,
                           [&options](long v) {
                               options.seeded = true;
                               options.seed = static_cast<std::uint32_t>(v);
                           })},
        {"--count", integer(1, kMaxCount, [&options](long v) { options.count = v; })},
    };

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            result.action = ParseResult::Action::ShowHelp;
            return result;
        }
        if (arg == "--spread") {
            options.spread = true;
            continue;
        }
        if (arg == "--retain") {
            options.retain = true;
            continue;
        }
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const auto handler = handlers.find(name);
        if (handler == handlers.end()) {
            if (arg.rfind("-", 0) == 0)
                return fail("unknown option '" + name + "'");
            return fail("unexpected argument '" + arg + "'");
        }
        std::string value;
        if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            return fail("option " + name + " needs a value");
        }
        const std::string error = handler->second(name, value);
        if (!error.empty())
            return fail(error);
    }

    for (int number : options.silent) {
        if (number > options.meters)
            return fail("--silent names meter " + std::to_string(number) + ", but there are only " +
                        std::to_string(options.meters) + " meters");
    }
    for (int number : options.faulty) {
        if (number > options.meters)
            return fail("--faulty names meter " + std::to_string(number) + ", but there are only " +
                        std::to_string(options.meters) + " meters");
    }
    if (!options.faulty.empty() && options.voltage < 0 && options.frequency < 0)
        return fail("--faulty needs --voltage or --frequency");
    if (options.count > 0 && !options.silent.empty())
        return fail("--silent cannot be used with --count: load mode publishes on every meter's topic");
    if (options.count > 0 && options.spread)
        return fail("--spread cannot be used with --count: load mode publishes as fast as it can");

    result.action = ParseResult::Action::Run;
    return result;
}

} // namespace metersim

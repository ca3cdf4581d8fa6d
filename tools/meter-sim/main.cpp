#include "meter.h"
#include "options.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using metersim::Options;
using metersim::SimulatedMeter;

constexpr int keepAliveSeconds = 60;
constexpr int kMaxLoopWaitMs = 200;
constexpr auto kConnackTimeout = std::chrono::seconds(5);
// Publications handed to the library but not yet on the socket (or, above QoS 0,
// not yet acknowledged): the library queues them in memory without a limit.
constexpr long kMaxUnsent = 1000;

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void requestStop(int)
{
    stopRequested = 1;
}

void installSignalHandlers()
{
    struct sigaction action
    {
    };
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: the select() inside mosquitto_loop must return at once.
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void sleepMs(long ms)
{
    timespec pause{ms / 1000, (ms % 1000) * 1000000};
    nanosleep(&pause, nullptr); // a signal ends it early, which is what we want
}

std::string describe(int rc)
{
    if (rc == MOSQ_ERR_ERRNO)
        return std::strerror(errno);
    return mosquitto_strerror(rc);
}

void report(const std::string &text)
{
    std::fprintf(stderr, "zelmar-meter-sim: %s\n", text.c_str());
}

struct Session
{
    int connackCode = -1;
    long published = 0;
};

extern "C" void onConnect(mosquitto *, void *data, int code)
{
    static_cast<Session *>(data)->connackCode = code;
}

// For QoS 0 the library calls this once the message is on the socket; for
// QoS 1 and 2 once the broker has acknowledged it.
extern "C" void onPublish(mosquitto *, void *data, int)
{
    ++static_cast<Session *>(data)->published;
}

class Simulator final
{
public:
    explicit Simulator(const Options &options) : m_options(options), m_random(options.seed)
    {
        for (int number = 1; number <= options.meters; ++number) {
            m_meters.emplace_back(number, m_random);
            SimulatedMeter &meter = m_meters.back();
            if (options.faulty.empty() || options.faulty.count(number) > 0)
                meter.fixSupply(options.voltage, options.frequency);
            if (options.total >= 0)
                meter.runFrom(options.total, options.starts >= 0 ? static_cast<int>(options.starts) : 1);
            else if (options.starts >= 0)
                meter.setStarts(static_cast<int>(options.starts));
            m_topics.push_back(options.prefix + "/" + std::to_string(number));
        }
        m_mosq = mosquitto_new(nullptr, true, &m_session);
        if (m_mosq) {
            mosquitto_connect_callback_set(m_mosq, onConnect);
            mosquitto_publish_callback_set(m_mosq, onPublish);
        }
    }

    ~Simulator()
    {
        if (m_mosq)
            mosquitto_destroy(m_mosq);
    }

    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    int run()
    {
        if (!m_mosq) {
            report("cannot create an MQTT client: out of memory");
            return 1;
        }
        if (!connect())
            return 1;
        const int status = m_options.count > 0 ? publishLoad() : publishReadings();
        mosquitto_disconnect(m_mosq);
        return status;
    }

private:
    bool connect()
    {
        const std::string broker = m_options.host + ":" + std::to_string(m_options.port);
        int rc = mosquitto_connect(m_mosq, m_options.host.c_str(), m_options.port, keepAliveSeconds);
        if (rc != MOSQ_ERR_SUCCESS) {
            report("cannot connect to " + broker + ": " + describe(rc));
            return false;
        }
        const auto deadline = Clock::now() + kConnackTimeout;
        while (m_session.connackCode < 0 && !stopRequested) {
            if (Clock::now() > deadline) {
                report("no answer from the broker at " + broker);
                return false;
            }
            rc = mosquitto_loop(m_mosq, 100, 1);
            if (rc != MOSQ_ERR_SUCCESS) {
                report("connection to " + broker + " failed: " + describe(rc));
                return false;
            }
        }
        if (m_session.connackCode > 0) {
            report("the broker at " + broker +
                   " refused the connection: " + mosquitto_connack_string(m_session.connackCode));
            return false;
        }
        return m_session.connackCode == 0;
    }

    int publish(std::size_t index, bool retain = false)
    {
        const std::string payload = m_meters[index].payload();
        return mosquitto_publish(m_mosq, nullptr, m_topics[index].c_str(), static_cast<int>(payload.size()),
                                 payload.data(), m_options.qos, retain);
    }

    int publishLoad()
    {
        const long count = m_options.count;
        const auto start = Clock::now();
        for (long sent = 0; sent < count && !stopRequested;) {
            const std::size_t index = static_cast<std::size_t>(sent % m_options.meters);
            m_meters[index].advance(1000, m_random);
            int rc = publish(index, m_options.retain);
            if (rc == MOSQ_ERR_SUCCESS)
                ++sent;
            // The library writes at once while the socket takes data; past that
            // it would queue every further message in memory.
            while (rc == MOSQ_ERR_SUCCESS && !stopRequested &&
                   (mosquitto_want_write(m_mosq) || sent - m_session.published > kMaxUnsent))
                rc = mosquitto_loop(m_mosq, kMaxLoopWaitMs, 1);
            if (rc != MOSQ_ERR_SUCCESS) {
                report("publishing failed after " + std::to_string(sent) + " messages: " + describe(rc));
                return 1;
            }
        }
        while ((m_session.published < count || mosquitto_want_write(m_mosq)) && !stopRequested) {
            const int rc = mosquitto_loop(m_mosq, kMaxLoopWaitMs, 1);
            if (rc != MOSQ_ERR_SUCCESS) {
                report("connection lost after " + std::to_string(m_session.published) + " messages: " + describe(rc));
                return 1;
            }
        }
        if (stopRequested) {
            report("interrupted after " + std::to_string(m_session.published) + " of " + std::to_string(count) +
                   " messages");
            return 1;
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        char line[160];
        std::snprintf(line, sizeof line, "published %ld messages in %.3f s (%.0f msg/s)", count, seconds,
                      seconds > 0 ? count / seconds : 0.0);
        report(line);
        return 0;
    }

    int publishReadings()
    {
        const auto interval = std::chrono::milliseconds(m_options.intervalMs);
        const std::size_t meters = m_meters.size();
        std::vector<bool> spoken(meters, false);
        // Each meter moves on by the time since its own last reading.
        std::vector<Clock::time_point> lastReading(meters, Clock::now());
        // The round's meters go out in order, meter i at its share of the interval when spread,
        // all at its start otherwise.
        auto roundStart = Clock::now();
        std::size_t next = 0;
        const auto dueAt = [&](std::size_t index) {
            if (!m_options.spread)
                return roundStart;
            return roundStart + std::chrono::duration_cast<Clock::duration>(interval * double(index) / double(meters));
        };
        bool connectionLost = false;
        while (!stopRequested) {
            const auto now = Clock::now();
            for (; next < meters && dueAt(next) <= now; ++next) {
                const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - lastReading[next]);
                lastReading[next] = now;
                m_meters[next].advance(elapsed.count() * m_options.speed, m_random);
                const bool silent = m_options.silent.count(static_cast<int>(next) + 1) > 0;
                if (spoken[next] && silent)
                    continue;
                // A silent meter's last word is retained, so a client that
                // subscribes later still sees it once, then sees it go offline.
                // While the broker is away readings are simply lost, as a real
                // meter's would be.
                if (publish(next, silent || m_options.retain) == MOSQ_ERR_SUCCESS)
                    spoken[next] = true;
            }
            if (next == meters) {
                next = 0;
                roundStart += interval;
                // Behind (a stalled machine, or a round that took longer than the interval): start
                // afresh rather than catch up in a burst. A spread round ends just before the
                // next begins, so only a whole round behind counts for it.
                if (!m_options.spread && roundStart <= now)
                    roundStart = now + interval;
                else if (m_options.spread && roundStart + interval <= now)
                    roundStart = now;
            }
            // Whole milliseconds, at least one while nothing is due, so that a spread plant's
            // readings go out in small batches rather than in a busy loop.
            const auto untilDue = dueAt(next) - Clock::now();
            const long dueMs = std::chrono::duration_cast<std::chrono::milliseconds>(untilDue).count() +
                               (untilDue > Clock::duration::zero() ? 1 : 0);
            const int waitMs = static_cast<int>(std::clamp<long>(dueMs, 0, kMaxLoopWaitMs));
            const int rc = mosquitto_loop(m_mosq, waitMs, 1);
            if (rc == MOSQ_ERR_SUCCESS || stopRequested)
                continue;
            if (!connectionLost) {
                report("connection to the broker lost (" + describe(rc) + "); reconnecting every second");
                connectionLost = true;
            }
            sleepMs(1000);
            if (!stopRequested && mosquitto_reconnect(m_mosq) == MOSQ_ERR_SUCCESS) {
                report("reconnected");
                connectionLost = false;
            }
        }
        return 0;
    }

    const Options &m_options;
    std::mt19937 m_random;
    std::vector<SimulatedMeter> m_meters;
    std::vector<std::string> m_topics;
    Session m_session;
    mosquitto *m_mosq = nullptr;
};

} // namespace

int main(int argc, char *argv[])
{
    metersim::ParseResult parsed = metersim::parseOptions(argc, argv);
    switch (parsed.action) {
    case metersim::ParseResult::Action::ShowHelp:
        std::fputs(metersim::usageText().c_str(), stdout);
        return 0;
    case metersim::ParseResult::Action::Fail:
        std::fprintf(stderr, "zelmar-meter-sim: %s\nTry 'zelmar-meter-sim --help' for more information.\n",
                     parsed.error.c_str());
        return 2;
    case metersim::ParseResult::Action::Run:
        break;
    }
    Options &options = parsed.options;
    if (!options.seeded)
        options.seed = std::random_device{}();

    installSignalHandlers();
    mosquitto_lib_init();
    if (options.count > 0) {
        report("publishing " + std::to_string(options.count) + " messages over " + std::to_string(options.meters) +
               " meters on " + options.prefix + "/1.." + std::to_string(options.meters) + " to " + options.host + ":" +
               std::to_string(options.port));
    } else {
        report("publishing " + std::to_string(options.meters) + " meters on " + options.prefix + "/1.." +
               std::to_string(options.meters) + " every " + std::to_string(options.intervalMs) + " ms" +
               (options.spread ? " spread" : "") + " to " + options.host + ":" + std::to_string(options.port) +
               " (seed " + std::to_string(options.seed) + ")");
    }
    int status = 0;
    {
        Simulator simulator(options);
        status = simulator.run();
    }
    mosquitto_lib_cleanup();
    return status;
}

#pragma once

// The defaults that more than one layer needs, each written once. They are
// the program's long-standing behaviour: a file without the matching key, and
// a client left at its defaults, behave as the program always has.
namespace Defaults {

// The broker's TCP port: MQTT's registered port.
inline constexpr int kMqttPort = 1883;

// Keep-alive in seconds. Brokers and libmosquitto refuse 1 to 4 (0 turns it
// off), so nothing below kMinKeepAliveSeconds is ever sent.
inline constexpr int kKeepAliveSeconds = 300;
inline constexpr int kMinKeepAliveSeconds = 5;
inline constexpr int kMaxKeepAliveSeconds = 65535;

// A meter that has sent nothing for this long is offline ("не в сети").
inline constexpr int kOfflineIntervalMs = 10000;

} // namespace Defaults

#pragma once

// Names and defaults of the configuration file's keys, and the small groups of values that
// components read together when they start. The file is "Kormlink.ini" in the data folder and is
// read anew at every such moment; nothing here caches it.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/clock.h"
#include "platform/ini.h"

namespace kormlink {

inline constexpr const char* kIniFileName = "Kormlink.ini";

// Section In: the repeaters' TCP input.
inline constexpr std::int32_t kDefaultInPort = 910;
// Section Out: outputs.
inline constexpr std::int32_t kDefaultOutPort = 950;
// In/MaxConnections and Out/MaxClients: the most repeater connections (the serial link
// counting as one) and output clients served at once.
inline constexpr std::int32_t kDefaultMaxConnections = 10000;
inline constexpr std::int32_t kDefaultMaxClients = 1000;
// In/IdentifyTime in seconds.
inline constexpr std::int32_t kDefaultIdentifyTimeSeconds = 300;
// In/MaxPerAddress and Out/MaxPerAddress: the most connections one IPv4 address may hold at
// once on that port (0: no limit), so one host cannot take every place. Repeaters behind a
// carrier's NAT share one address: a tenth of the repeater connections may come from one.
inline constexpr std::int32_t kDefaultMaxRepeatersPerAddress = 1000;
// Out/MaxPerAddress without the key: a monitoring station holds one connection per channel it
// serves, and while it reconnects its old ones may still be held until their answers time out.
// The file may define any number of channels (there is no fixed limit), so one address may hold
// twice as many connections as there are channels, and at least 32, which leaves room for a
// few stations with a handful of channels each behind one NAT address.
inline constexpr std::int32_t kMinDefaultClientsPerAddress = 32;
inline std::int64_t defaultClientsPerAddress(std::size_t channels) {
    return std::max<std::int64_t>(kMinDefaultClientsPerAddress,
                                  2 * static_cast<std::int64_t>(channels));
}
// Options/TestTime in minutes.
inline constexpr std::int32_t kDefaultTestTimeMinutes = 5;

// What a repeater connection reads from the file when it starts.
struct RepeaterConnectionSettings {
    Millis CmdDelay = 1000;     // Sock/CmdDelay: spacing of repeated time commands
    std::int32_t IdleLimit = 140;  // 2 x Sock/ECnst: receive time-outs tolerated
    Millis ACKDelay = 1;        // Sock/ACKDelay: pause before a command or time command
    Millis LoadDelay = 5000;    // loadee/delay: reply time-out during command exchanges
    Millis SyncP = 60 * 60'000; // In/SyncP minutes, as milliseconds; 0 disables
    // In/IdentifyTime seconds, as milliseconds: a TCP connection that has not sent a valid
    // event line with its repeater Id by then is closed, so nobody holds a slot without being
    // a repeater. 0 disables; a negative value means the default.
    Millis IdentifyTime = kDefaultIdentifyTimeSeconds * 1000LL;
};
RepeaterConnectionSettings readRepeaterConnectionSettings(const IniFile& ini);

// What the server model reads when it loads the configuration.
struct ServerSettings {
    bool ComOn = false;                   // Out/ComOn
    std::int32_t InPort = kDefaultInPort;   // In/Port
    std::int32_t OutPort = kDefaultOutPort; // Out/Port
    std::int32_t MaxConnections = kDefaultMaxConnections;  // In/MaxConnections
    std::int32_t MaxClients = kDefaultMaxClients;          // Out/MaxClients
    std::int32_t MaxRepeatersPerAddress = kDefaultMaxRepeatersPerAddress;  // In/MaxPerAddress
    // Out/MaxPerAddress; -1 when the key is absent: defaultClientsPerAddress() of the channels.
    std::int32_t MaxClientsPerAddress = -1;
    std::int64_t TestTimeMs = kDefaultTestTimeMinutes * 60'000LL;  // Options/TestTime
    // Opt/Fsync: the queue journals are synced to disk before an event line is answered (one
    // sync shared by all the answers of a batch), so acknowledged lines survive a power loss;
    // off, they survive the process being killed.
    bool Fsync = false;
    // Http/Port and Http/Address: the status page and the metrics, off while the port is 0.
    std::int32_t HttpPort = 0;
    std::string HttpAddress = "127.0.0.1";
};
ServerSettings readServerSettings(const IniFile& ini);

// True for a section that defines a TCP output channel: its name begins with "Client"
// (case-sensitive, unlike look-ups by name).
bool isChannelSection(const std::string& name);

}  // namespace kormlink

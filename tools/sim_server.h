#pragma once

// The data folder the probes and the soak test start `kormlink --headless` in.

#include <cstdint>
#include <optional>
#include <string>

namespace kormlink::sim {

// A TCP port free on this machine just now, for a server started next; 0 when none.
std::uint16_t freePort();

struct ServerFolder {
    std::string dir;
    std::uint16_t in = 0;   // the repeaters' port
    std::uint16_t out = 0;  // the monitoring clients' port
};

// Keys added to the sections of the generated configuration, each ended by "\n".
struct ExtraKeys {
    std::string in;   // [In], e.g. "MaxConnections=100\n"
    std::string out;  // [Out]
    std::string opt;  // [Opt], e.g. "Fsync=1\n"
};

// Makes PARENT/<prefix>-XXXXXX with the two log folders and a configuration for a relay on
// free ports: one channel `channel` without filters and with room for every event of a run,
// LifeTime 23:59, answers without delay, no serial link. nullopt when the folder or the file
// cannot be made.
std::optional<ServerFolder> makeServerFolder(const std::string& parent, const std::string& prefix,
                                             const std::string& channel,
                                             const ExtraKeys& extra = {});

}  // namespace kormlink::sim

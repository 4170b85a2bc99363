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

// Makes PARENT/<prefix>-XXXXXX with the two log folders and a configuration for a relay on
// free ports: one channel `channel` without filters and with room for every event of a run,
// LifeTime 23:59, answers without delay, no serial link. optKeys are added to [Opt]
// ("Fsync=1\n"). nullopt when the folder or the file cannot be made.
std::optional<ServerFolder> makeServerFolder(const std::string& parent, const std::string& prefix,
                                             const std::string& channel,
                                             const std::string& optKeys = "");

}  // namespace kormlink::sim

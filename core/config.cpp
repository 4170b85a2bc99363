#include "core/config.h"

#include <algorithm>
#include <cstdint>

namespace kormlink {

RepeaterConnectionSettings readRepeaterConnectionSettings(const IniFile& ini) {
    RepeaterConnectionSettings s;
    s.CmdDelay = ini.readInteger("Sock", "CmdDelay", 1000);
    s.IdleLimit = static_cast<std::int32_t>(
        std::clamp<std::int64_t>(2LL * ini.readInteger("Sock", "ECnst", 70), INT32_MIN, INT32_MAX));
    s.ACKDelay = ini.readInteger("Sock", "ACKDelay", 1);
    s.LoadDelay = ini.readInteger("loadee", "delay", 5000);
    s.SyncP = static_cast<Millis>(ini.readInteger("In", "SyncP", 60)) * 60'000;
    std::int64_t identify = ini.readInteger("In", "IdentifyTime", kDefaultIdentifyTimeSeconds);
    if (identify < 0) identify = kDefaultIdentifyTimeSeconds;
    s.IdentifyTime = static_cast<Millis>(identify) * 1000;
    return s;
}

ServerSettings readServerSettings(const IniFile& ini) {
    ServerSettings s;
    s.ComOn = ini.readBool("Out", "ComOn", false);
    s.InPort = ini.readInteger("In", "Port", kDefaultInPort);
    s.OutPort = ini.readInteger("Out", "Port", kDefaultOutPort);
    // A limit below one would refuse everything: such a value means the default.
    s.MaxConnections = ini.readInteger("In", "MaxConnections", kDefaultMaxConnections);
    if (s.MaxConnections < 1) s.MaxConnections = kDefaultMaxConnections;
    s.MaxClients = ini.readInteger("Out", "MaxClients", kDefaultMaxClients);
    if (s.MaxClients < 1) s.MaxClients = kDefaultMaxClients;
    // 0 switches the per-address limit off; a value below it means the default.
    s.MaxRepeatersPerAddress =
        ini.readInteger("In", "MaxPerAddress", kDefaultMaxRepeatersPerAddress);
    if (s.MaxRepeatersPerAddress < 0) s.MaxRepeatersPerAddress = kDefaultMaxRepeatersPerAddress;
    s.MaxClientsPerAddress = std::max(ini.readInteger("Out", "MaxPerAddress", -1), -1);
    s.TestTimeMs =
        static_cast<std::int64_t>(ini.readInteger("Options", "TestTime", kDefaultTestTimeMinutes)) *
        60'000;
    s.Fsync = ini.readBool("Opt", "Fsync", false);
    s.HttpPort = ini.readInteger("Http", "Port", 0);
    s.HttpAddress = ini.readString("Http", "Address", "127.0.0.1");
    return s;
}

bool isChannelSection(const std::string& name) { return name.rfind("Client", 0) == 0; }

}  // namespace kormlink

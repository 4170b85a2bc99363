#include "settings/settings_model.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "core/config.h"
#include "platform/files.h"
#include "platform/serial.h"

namespace kormlink {
namespace {

constexpr int kMaxSerialPort = 99;
constexpr int kMaxTestTimeMinutes = 35000;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Digits only (no sign, blanks around allowed), within lo..hi.
std::optional<int> wholeNumber(std::string_view text, int lo, int hi) {
    text = trimBlanks(text);
    if (text.empty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), isDigit))
        return std::nullopt;
    int value = 0;
    for (char c : text) value = value * 10 + (c - '0');
    if (value < lo || value > hi) return std::nullopt;
    return value;
}

// The number of a port entry "COM<n>".
std::optional<int> portNumber(std::string_view entry) {
    if (entry.substr(0, 3) != "COM" || entry.size() < 4 || entry.size() > 5) return std::nullopt;
    return wholeNumber(entry.substr(3), 0, kMaxSerialPort);
}

std::string portEntry(int n) { return "COM" + std::to_string(n); }

// The entry of the configured port, added to the list (in numeric order) when its device is
// missing. A value that names no port selects the first entry.
std::string selectPort(std::vector<std::string>& list, const std::string& configured) {
    const auto n = wholeNumber(configured, 0, kMaxSerialPort);
    if (!n) {
        if (list.empty()) list.push_back(portEntry(1));
        return list.front();
    }
    const std::string name = portEntry(*n);
    if (std::find(list.begin(), list.end(), name) == list.end()) {
        auto at = std::find_if(list.begin(), list.end(), [&](const std::string& e) {
            return portNumber(e).value_or(0) > *n;
        });
        list.insert(at, name);
    }
    return name;
}

// The entry number of a coded value, or -1 when the box has no such entry.
int entryIndex(const IniFile& ini, std::string_view section, std::string_view key, std::int32_t def,
               std::int32_t offset, std::size_t entries) {
    const std::int64_t index =
        static_cast<std::int64_t>(ini.readInteger(section, key, def)) - offset;
    return index >= 0 && index < static_cast<std::int64_t>(entries) ? static_cast<int>(index) : -1;
}

SerialForm readSerialForm(const IniFile& ini, std::string_view section, std::string_view comDefault,
                          std::vector<std::string>& ports) {
    SerialForm f;
    f.port = selectPort(ports, ini.readString(section, "Com", comDefault));
    const std::string baud = ini.readString(section, "Baud", "9600");
    if (std::find(kBaudEntries.begin(), kBaudEntries.end(), baud) != kBaudEntries.end()) {
        f.baud = baud;
        f.baudSelected = true;
    }
    f.dataIndex = entryIndex(ini, section, "DataBits", 8, 4, kDataBitsEntries.size());
    f.parityIndex = entryIndex(ini, section, "Parity", 0, 0, kParityEntries.size());
    f.stopIndex = entryIndex(ini, section, "StopBits", 0, 0, kStopBitsEntries.size());
    f.flowIndex = entryIndex(ini, section, "FlowCtrl", 0, 0, kFlowEntries.size());
    return f;
}

void writeIndex(IniFile& ini, std::string_view section, std::string_view key, int index,
                std::size_t entries, int offset) {
    if (index >= 0 && static_cast<std::size_t>(index) < entries)
        ini.writeInteger(section, key, index + offset);
}

// Keys of a box without a selection stay as they are in the file.
void writeSerialKeys(IniFile& ini, std::string_view section, const SerialForm& f,
                     const bool* comOn) {
    if (portNumber(f.port)) ini.writeString(section, "Com", f.port.substr(3));
    if (f.baudSelected) ini.writeString(section, "Baud", f.baud);
    if (comOn) ini.writeBool(section, "ComOn", *comOn);
    writeIndex(ini, section, "DataBits", f.dataIndex, kDataBitsEntries.size(), 4);
    writeIndex(ini, section, "Parity", f.parityIndex, kParityEntries.size(), 0);
    writeIndex(ini, section, "StopBits", f.stopIndex, kStopBitsEntries.size(), 0);
    writeIndex(ini, section, "FlowCtrl", f.flowIndex, kFlowEntries.size(), 0);
}

// Leading digits of text in the base, cut to the bits of mask; the dialog's key filters keep
// anything else out, so the rest is ignored rather than refused.
std::uint32_t leadingNumber(std::string_view text, int base, std::uint32_t mask) {
    text = trimBlanks(text);
    std::uint32_t value = 0;  // wraps modulo 2^32, which keeps every lower bit exact
    for (char c : text) {
        int d = isDigit(c)                             ? c - '0'
                : (base == 16 && c >= 'A' && c <= 'F') ? c - 'A' + 10
                : (base == 16 && c >= 'a' && c <= 'f') ? c - 'a' + 10
                                                       : -1;
        if (d < 0) break;
        value = value * static_cast<std::uint32_t>(base) + static_cast<std::uint32_t>(d);
    }
    return value & mask;
}

std::string quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

std::optional<std::string> portProblem(const std::string& text, const char* group) {
    if (wholeNumber(text, 1, 65535)) return std::nullopt;
    return std::string(group) + ": \"Port\" must be a port number from 1 to 65535, not " +
           quoted(text) + ".";
}

std::optional<std::string> syncProblem(const std::string& text, const char* group) {
    if (parseSyncTime(text)) return std::nullopt;
    return std::string(group) + ": \"Sync time (hh:mm)\" must be hours and minutes from 00:00 to 99:59, not " +
           quoted(text) + ".";
}

std::optional<std::string> serialPortProblem(const SerialForm& f, const char* group) {
    if (portNumber(f.port)) return std::nullopt;
    return std::string(group) + ": no serial port is selected in \"Port\".";
}


}  // namespace

tEItem::tEItem(const std::string& section, const IniFile& ini)
    : Id(ini.readString(section, "Id", "")) {
    // The channel itself reads QSize and the filters; taking them from it keeps both readings
    // the same.
    const tOItem channel(section, ini);
    QSize = channel.QSize;
    Filters = channel.Filters;
}

tEItem::tEItem(std::string id) : Id(std::move(id)) {}

std::vector<int> existingSerialPorts(const IniFile& ini) {
    std::vector<int> ports;
    for (int n = 1; n <= kMaxSerialPort; ++n)
        if (serialDeviceExists(serialDevicePath(ini, n))) ports.push_back(n);
    return ports;
}

SettingsForm readSettingsForm(const IniFile& ini, const std::vector<int>& ports,
                              std::int64_t testTimeMs, bool comOn) {
    SettingsForm form;
    form.inPorts.push_back(portEntry(0));
    for (int n : ports) {
        form.outPorts.push_back(portEntry(n));
        form.inPorts.push_back(portEntry(n));
    }
    form.out = readSerialForm(ini, "Out", "1", form.outPorts);
    form.in = readSerialForm(ini, "ComIn", "0", form.inPorts);
    form.inSync = formatSyncTime(ini.readInteger("In", "SyncP", 60));
    form.outSync = formatSyncTime(ini.readInteger("Out", "SyncP", 60));
    form.inPort = ini.readString("In", "Port", std::to_string(kDefaultInPort));
    form.outPort = ini.readString("Out", "Port", std::to_string(kDefaultOutPort));
    form.testTime = std::to_string(testTimeMs / 60'000);
    const std::int32_t mode = ini.readInteger("Out", "Mode", 0);
    form.page = mode == 1 ? 1 : 0;
    form.comOn = comOn;
    for (const std::string& name : ini.sectionNames())
        if (isChannelSection(name)) form.channels.emplace_back(name, ini);
    form.serial = tEItem("Com", ini);
    form.serialQSize = std::to_string(form.serial.QSize);
    return form;
}

std::optional<int> parseSyncTime(std::string_view text) {
    std::string t;
    for (char c : text)
        if (c != '_' && c != ' ') t += c;
    const std::size_t colon = t.find(':');
    if (colon == std::string::npos || colon == 0 || colon > 2 || t.size() != colon + 3)
        return std::nullopt;
    const auto hours = wholeNumber(std::string_view(t).substr(0, colon), 0, 99);
    const auto minutes = wholeNumber(std::string_view(t).substr(colon + 1), 0, 59);
    if (!hours || !minutes) return std::nullopt;
    return *hours * 60 + *minutes;
}

std::string formatSyncTime(int minutes) {
    // Any period at or below zero switches the sync off, as 0 does.
    minutes = std::max(minutes, 0);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%2.2d:%2.2d", minutes / 60, minutes % 60);
    return buf;
}

std::optional<std::int32_t> parseQueueSize(std::string_view text) {
    text = trimBlanks(text);
    if (text.empty()) return kMinQueueSize;
    const auto value = parseDecimal32(text);
    if (!value) return std::nullopt;
    return std::max(*value, kMinQueueSize);
}

std::optional<std::string> channelIdProblem(std::string_view id) {
    if (id.empty() || id.find('/') != std::string_view::npos ||
        id.find('\0') != std::string_view::npos)
        return std::string(
            "A channel Id names its queue file (Id followed by \".out\"): it must not be empty or "
            "hold \"/\".");
    // The configuration file trims blanks around a value and drops a pair of enclosing quotes,
    // so such an Id would come back as another one; a line break would split its line.
    if (trimBlanks(id).size() != id.size())
        return std::string("A channel Id must not begin or end with a blank.");
    if (std::any_of(id.begin(), id.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20; }))
        return std::string("A channel Id must not hold a line break or another control character.");
    if (id.size() >= 2 && (id.front() == '"' || id.front() == '\'') && id.back() == id.front())
        return std::string("A channel Id must not be enclosed in quotes.");
    return std::nullopt;
}

std::optional<std::string> settingsProblem(const SettingsForm& form) {
    if (auto p = portProblem(form.outPort, "Output")) return p;
    if (auto p = syncProblem(form.outSync, "Output")) return p;
    for (std::size_t i = 0; i < form.channels.size(); ++i)
        if (auto p = channelIdProblem(form.channels[i].Id))
            return "Output, channel " + std::to_string(i + 1) + " of the list: " + *p;
    if (auto p = serialPortProblem(form.out, "Output, page Com")) return p;
    if (!parseQueueSize(form.serialQSize))
        return "Output, page Com: \"Size of queue\" must be a number, not " +
               quoted(form.serialQSize) + ".";
    if (auto p = portProblem(form.inPort, "Input")) return p;
    if (*wholeNumber(form.inPort, 1, 65535) == *wholeNumber(form.outPort, 1, 65535))
        return "Input: \"Port\" must differ from the output's \"Port\" (" +
               std::string(trimBlanks(form.outPort)) + ").";
    if (!wholeNumber(form.testTime, 0, kMaxTestTimeMinutes))
        return "Input: \"TestTime (min)\" must be a whole number from 0 to " +
               std::to_string(kMaxTestTimeMinutes) + ", not " + quoted(form.testTime) + ".";
    if (auto p = syncProblem(form.inSync, "Input")) return p;
    if (auto p = serialPortProblem(form.in, "Com In")) return p;
    return std::nullopt;
}

std::array<std::string, 5> filterRow(const tFItem& filter) {
    std::string slots(8, '0');
    for (int slot = 0; slot < 8; ++slot)
        if (filter.SlotMask & (1u << slot)) slots[static_cast<std::size_t>(7 - slot)] = '1';
    return {formatSysNr(filter.SysNr), std::to_string(filter.IdFrom), std::to_string(filter.IdTo),
            slots, filter.RptOn ? "On" : "Off"};
}

tFItem filterFromFields(std::string_view sysNr, std::string_view from, std::string_view to,
                        std::uint8_t slotMask, bool rptOn) {
    tFItem f;
    f.IdFrom = static_cast<std::uint16_t>(leadingNumber(from, 10, 0xFFFF));
    f.IdTo = static_cast<std::uint16_t>(leadingNumber(to, 10, 0xFFFF));
    f.SysNr = static_cast<std::uint8_t>(leadingNumber(sysNr, 16, 0xFF));
    f.SlotMask = slotMask;
    f.RptOn = rptOn;
    return f;
}

std::string formatSysNr(std::uint8_t sysNr) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%2.2X", sysNr);
    return buf;
}

std::optional<IniFile> loadForRewrite(const std::string& path, std::string* error) {
    if (auto text = readWholeFile(path)) return IniFile::parse(*text);
    if (::access(path.c_str(), F_OK) != 0) return IniFile{};
    if (error) *error = "The configuration file " + path + " cannot be read.";
    return std::nullopt;
}

void writeChannelSections(IniFile& ini, const SettingsForm& form) {
    // The new sections, one blank line between them, go where the first old one stood.
    std::string block;
    auto section = [&](const std::string& name, const std::string* id, std::int32_t qSize,
                       const tFList& filters) {
        if (!block.empty()) block += "\n";
        block += "[" + name + "]\n";
        if (id) block += "Id=" + iniValueText(*id) + "\n";
        block += "QSize=" + std::to_string(qSize) + "\n";
        for (std::size_t j = 0; j < filters.size(); ++j)
            block += "Flt" + std::to_string(j) + "=" + formatFilter(filters[j]) + "\n";
    };
    std::vector<std::string> names;
    for (std::size_t i = 0; i < form.channels.size(); ++i) {
        const tEItem& channel = form.channels[i];
        names.push_back("Client" + std::to_string(i));
        section(names.back(), &channel.Id, channel.QSize, channel.Filters);
    }
    section("Com", nullptr, parseQueueSize(form.serialQSize).value_or(kMinQueueSize),
            form.serial.Filters);
    names.push_back("Com");
    ini.replaceSections(
        [&](std::string_view name) {
            // Look-ups ignore case: a left-over "CLIENT0" is no channel, but would be found
            // before the new "Client0" and hide its keys.
            return isChannelSection(std::string(name)) ||
                   std::any_of(names.begin(), names.end(),
                               [&](const std::string& n) { return equalsIgnoreCase(n, name); });
        },
        IniFile::parse(block));
}

void writeRemainingKeys(IniFile& ini, const SettingsForm& form) {
    writeSerialKeys(ini, "Out", form.out, &form.comOn);
    writeSerialKeys(ini, "ComIn", form.in, nullptr);
    if (auto minutes = parseSyncTime(form.inSync)) ini.writeInteger("In", "SyncP", *minutes);
    if (auto minutes = parseSyncTime(form.outSync)) ini.writeInteger("Out", "SyncP", *minutes);
    ini.writeString("In", "Port", trimBlanks(form.inPort));
    ini.writeString("Out", "Port", trimBlanks(form.outPort));
    // The least test time is one minute; 0 would pass on every status line.
    if (auto minutes = wholeNumber(form.testTime, 0, kMaxTestTimeMinutes))
        ini.writeInteger("Options", "TestTime", std::max(*minutes, 1));
}

}  // namespace kormlink

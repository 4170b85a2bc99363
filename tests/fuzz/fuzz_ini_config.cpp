// The INI reader and the configuration built from it: any text as the configuration file.
// Checked: the rendered file reads back to the same values; a value written back with the
// writer reads as itself; the channels read the same after the settings dialog has written
// their sections back.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>

#include "fuzz_temp_dir.h"
#include "core/config.h"
#include "output/channels.h"
#include "output/client_access.h"
#include "platform/ini.h"
#include "platform/serial.h"
#include "settings/settings_model.h"

using namespace kormlink;

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

auto fields(const tFItem& f) { return std::tuple(f.IdFrom, f.IdTo, f.SysNr, f.SlotMask, f.RptOn); }
bool sameFilters(const tFList& a, const tFList& b) {
    return std::ranges::equal(a, b, {}, fields, fields);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const IniFile ini = IniFile::parse(text);

    // Reading what was written.
    const IniFile again = IniFile::parse(ini.render());
    const auto names = ini.sectionNames();
    check(again.sectionNames() == names);
    for (const std::string& section : names)
        for (const auto& [key, value] : ini.entries(section)) {
            check(again.value(section, key) == ini.value(section, key));
            if (section != names.front()) continue;
            IniFile written = ini;
            written.writeString(section, key, value);
            check(IniFile::parse(written.render()).value(section, key) == value);
        }
    (void)parseDecimal32(text.substr(0, 24));

    // The settings components read when they start.
    const ServerSettings server = readServerSettings(ini);
    (void)readRepeaterConnectionSettings(ini);
    (void)readLifeTime(ini);
    (void)readClientSyncPeriod(ini);
    (void)readSerialSettings(ini, "ComIn");
    (void)readSerialSettings(ini, "Out");
    (void)serialDevicePath(ini, ini.readInteger("ComIn", "Com", 1));
    (void)IsClientAllowed(ini, "192.168.1.20");

    // The channel list, and the settings dialog's copy of it written back.
    {
        tOList list(ini, fuzz::tempDir(), server.ComOn);
        for (std::size_t i = 0; i < list.size(); ++i) (void)list.at(i).Filters.size();
    }
    const SettingsForm form = readSettingsForm(ini, {}, 5 * 60'000, server.ComOn);
    IniFile out = ini;
    writeChannelSections(out, form);
    writeRemainingKeys(out, form);
    const SettingsForm back = readSettingsForm(IniFile::parse(out.render()), {}, 5 * 60'000,
                                               server.ComOn);
    check(back.channels.size() == form.channels.size());
    for (std::size_t i = 0; i < form.channels.size(); ++i) {
        const auto &a = back.channels[i], &b = form.channels[i];
        check(a.Id == b.Id && a.QSize == b.QSize && sameFilters(a.Filters, b.Filters));
    }
    check(sameFilters(back.serial.Filters, form.serial.Filters));
    return 0;
}

// A channel filter's value text ("Flt0=0;4095;$01;$FF;1"), optionally followed by a line and
// an event line to match it against. Checked: the text the settings dialog writes for a filter
// reads back as the same filter, and so do the dialog's filter row fields.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "output/channels.h"
#include "settings/settings_model.h"

using namespace kormlink;

namespace {

bool same(const tFItem& a, const tFItem& b) {
    return a.IdFrom == b.IdFrom && a.IdTo == b.IdTo && a.SysNr == b.SysNr &&
           a.SlotMask == b.SlotMask && a.RptOn == b.RptOn;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t lf = std::min(input.find('\n'), size);
    const std::string_view text = input.substr(0, lf), event = input.substr(std::min(lf + 1, size));
    const tFItem filter = parseFilter(text);
    if (!same(parseFilter(formatFilter(filter)), filter)) __builtin_trap();
    const auto row = filterRow(filter);
    if (!same(filterFromFields(row[0], row[1], row[2], filter.SlotMask, filter.RptOn), filter))
        __builtin_trap();

    if (const auto key = decodeEvent(event)) {
        const bool match = MatchChannel({filter}, *key);
        // A second filter can only widen what passes; no filters at all pass everything.
        if (match && !MatchChannel({parseFilter("0;0;$FF;$00;0"), filter}, *key)) __builtin_trap();
        if (!MatchChannel({}, *key)) __builtin_trap();
    }
    return 0;
}

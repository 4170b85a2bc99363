// The range text of the mask grid's Set and Clear ("10 20,100 131", "$100 $1FF"). Checked:
// exactly the cells inside a parsed range are set, and Clear with the same text takes them all
// back.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "config_image/mask_grid.h"

using namespace kormlink;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto ranges = MaskGrid::parseRanges(text);

    static MaskGrid grid;
    grid.reset();
    grid.applyRangeText(text, true);
    int expected = 0;
    for (int a = 0; a < MaskGrid::kCells; ++a) {
        const bool inRange = std::any_of(ranges.begin(), ranges.end(), [a](const auto& r) {
            return r.first <= a && a <= r.second;
        });
        if (grid.isEnabled(a) != inRange) __builtin_trap();
        expected += inRange;
    }
    if (grid.enabledCount() != expected || grid.selectedCount() != 0 || grid.hasSelection())
        __builtin_trap();
    grid.applyRangeText(text, false);
    if (grid.enabledCount() != 0) __builtin_trap();
    return 0;
}

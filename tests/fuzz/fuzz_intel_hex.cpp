// Intel HEX lines of the configuration image: the lines of a file (split as the editor reads
// a file), the first byte choosing which channels are present. Checked: the image written
// back as HEX is well-formed and loads to the same image; the editor loads the lines too.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "config_image/editor_model.h"
#include "config_image/intel_hex.h"

using namespace kormlink;

namespace {

void setPresent(tCfgImage& image, std::uint8_t mask) {
    for (int k = 0; k < kChannels; ++k) image.ChannelPresent[static_cast<std::size_t>(k)] = (mask >> k) & 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t present = data[0];
    const std::vector<std::string> lines =
        splitTextLines(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));

    static tCfgImage image, back;  // large: kept out of the stack
    setPresent(image, present);
    const int first = LoadImageLines(image, lines);
    if (first != 0 && (present & (1u << (first - 1))) == 0) __builtin_trap();
    (void)findBadHexLine(lines);

    std::vector<std::string> hex;
    BuildImageHexLines(image, hex);
    hex.pop_back();  // the count line
    if (findBadHexLine(hex) != 0) __builtin_trap();
    setPresent(back, present);
    LoadImageLines(back, hex);
    if (back.Mask != image.Mask || back.General != image.General || back.Network != image.Network)
        __builtin_trap();
    for (int k = 0; k < kChannels; ++k) {
        if (!((present >> k) & 1)) continue;
        const tSlotRec& a = image.Slots[static_cast<std::size_t>(k)];
        const tSlotRec& b = back.Slots[static_cast<std::size_t>(k)];
        // Bytes 0-131 have their own addresses in the HEX image.
        for (std::size_t i = 0; i < 132 && i < a.size(); ++i)
            if (a[i] != b[i]) __builtin_trap();
    }

    // The editor's load: the same lines, then its pages filled from the image.
    static ConfigEditor editor;
    setPresent(editor.image(), present);
    editor.LoadImageFromHex(lines);
    editor.ShowGeneral();
    return 0;
}

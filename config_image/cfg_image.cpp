#include "config_image/cfg_image.h"

namespace kormlink {

void tCfgImage::fill(std::uint8_t value) {
    General.fill(value);
    Network.fill(value);
    Mask.fill(value);
    for (tSlotRec& rec : Slots) rec.fill(value);
}

std::int64_t textToNumber(std::string_view text, bool* ok) {
    if (ok) *ok = true;
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i == text.size()) return 0;  // empty
    bool negative = false;
    if (text[i] == '+' || text[i] == '-') {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < text.size() && text[i] == '$') {
        base = 16;
        ++i;
    }
    std::uint64_t value = 0;
    std::size_t digits = 0;
    for (; i < text.size(); ++i, ++digits) {
        char c = text[i];
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else break;
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(d);  // wraps harmlessly
    }
    if (ok && (digits == 0 || i != text.size())) *ok = false;
    // Negated as unsigned, so even the most negative value has no overflow.
    return static_cast<std::int64_t>(negative ? 0 - value : value);
}

}  // namespace kormlink

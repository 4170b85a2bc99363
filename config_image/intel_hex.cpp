#include "config_image/intel_hex.h"

#include <cstdio>

#include "platform/files.h"

namespace kormlink {
namespace {

constexpr const char* kEndRecord = ":00000001FF";

// One field of a record read by the text-to-number rule with "$" in front. Characters past the
// end of the line are not part of the text, so a field cut short reads only what is there.
std::int64_t hexField(std::string_view line, std::size_t pos, std::size_t len, bool* ok) {
    std::string text = "$";
    if (pos < line.size()) text += line.substr(pos, len);
    return textToNumber(text, ok);
}

// Stores one byte at device address a in the area that maps it; unmapped addresses (the slot
// gaps included) drop the byte. Present flags are not consulted: absent channels take bytes too.
void storeByte(tCfgImage& image, std::uint16_t a, std::uint8_t value) {
    if (a <= kMaskLast) {
        image.Mask[a] = value;
        return;
    }
    if (a >= kGeneralFirst && a <= kGeneralLast) {
        image.General[a - kGeneralFirst] = value;
        return;
    }
    if (a >= kNetworkFirst && a <= kNetworkLast) {
        image.Network[a - kNetworkFirst] = value;
        return;
    }
    for (int k = 1; k <= kChannels; ++k) {
        const int offset = a - slotBase(k);
        tSlotRec& rec = image.Slots[k - 1];
        if (offset >= 0 && offset <= 65) {
            rec[offset] = value;
            return;
        }
        if (offset >= 113 && offset <= 177) {
            rec[offset - 47] = value;
            return;
        }
        if (offset == 185) {
            rec[131] = value;
            return;
        }
    }
}

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hexValue(char c) {
    if (c <= '9') return c - '0';
    return (c | 0x20) - 'a' + 10;
}

// The reason a non-empty line is not a well-formed record, or "" when it is.
std::string checkHexLine(std::string_view line) {
    if (line.front() != ':') return "does not start with ':'";
    const std::string_view digits = line.substr(1);
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (!isHexDigit(digits[i]))
            return "character " + std::to_string(i + 2) + " is not a hexadecimal digit";
    }
    if (digits.size() % 2 != 0) return "odd number of hexadecimal digits";
    // count(1) address(2) type(1) checksum(1)
    if (digits.size() < 10) return "too short for a record";
    unsigned sum = 0;
    for (std::size_t i = 0; i < digits.size(); i += 2)
        sum += static_cast<unsigned>(hexValue(digits[i]) * 16 + hexValue(digits[i + 1]));
    const std::size_t count =
        static_cast<std::size_t>(hexValue(digits[0]) * 16 + hexValue(digits[1]));
    if (digits.size() != 10 + 2 * count)
        return "byte count " + std::to_string(count) + " does not match the data";
    if ((sum & 0xFF) != 0) return "wrong checksum";
    return {};
}

}  // namespace

void WriteHexRange(std::uint16_t first, std::uint16_t last, const std::uint8_t* data,
                   std::size_t dataSize, std::size_t start, std::vector<std::string>& lines) {
    // Addresses are kept in int so that last + 1 and addr + 16 do not wrap at 0xFFFF.
    const int bound = static_cast<int>(last) + 1;
    int addr = first;
    std::size_t i = start;
    int next = addr;
    do {
        unsigned count = 0;
        unsigned sum = 0;
        next = addr;
        char digits[2 * 16 + 1] = {};
        do {
            const std::uint8_t byte = (data != nullptr && i < dataSize) ? data[i] : 0xFF;
            std::snprintf(digits + 2 * count, 3, "%02X", byte);
            sum += byte;
            ++next;
            ++i;
            ++count;
        } while (count < 16 && next <= bound);
        sum += count + (addr & 0xFF) + ((addr >> 8) & 0xFF);
        char line[64];
        std::snprintf(line, sizeof line, ":%02X%04X00%s%02X", count, addr & 0xFFFF, digits,
                      (0u - sum) & 0xFFu);
        lines.emplace_back(line);
        addr += 16;
    } while (next <= last);
}

void BuildImageHexLines(const tCfgImage& image, std::vector<std::string>& lines) {
    WriteHexRange(kMaskFirst, kMaskLast, image.Mask.data(), image.Mask.size(), 0, lines);
    WriteHexRange(kGeneralFirst, kGeneralLast, image.General.data(), image.General.size(), 0,
                  lines);
    WriteHexRange(kNetworkFirst, kNetworkLast, image.Network.data(), image.Network.size(), 0,
                  lines);
    for (int k = 1; k <= kChannels; ++k) {
        if (image.ChannelPresent[k - 1].load() == 0) continue;
        const std::uint16_t b = slotBase(k);
        const tSlotRec& rec = image.Slots[k - 1];
        // With the last + 1 rule these write rec 0-65, rec 66-131 and rec 131-132 (the second
        // copy of 131 lands in the gap at b+178, byte 132 at b+186); the format expects it.
        WriteHexRange(b, b + 64, rec.data(), rec.size(), 0, lines);
        WriteHexRange(b + 113, b + 177, rec.data(), rec.size(), 66, lines);
        WriteHexRange(b + 185, b + 185, rec.data(), rec.size(), 131, lines);
    }
    lines.emplace_back(kEndRecord);
    lines.push_back("C/" + std::to_string(lines.size()));
}

// Character positions below are 0-based: the count at 1-2, the address at 3-6, the type at 7-8,
// data byte i (1-based) at 2i+7 and 2i+8.
void ParseHexLine(tCfgImage& image, std::string_view line) {
    if (line.empty() || line.front() != ':') return;
    // Both type characters must be there and read as the number 0: "00" only.
    if (line.size() < 9) return;
    bool ok = false;
    if (hexField(line, 7, 2, &ok) != 0 || !ok) return;

    // Malformed count or address characters give what the text-to-number rule reads from them
    // (the digits before the first bad character, so "1G" counts 1 and "G1" counts 0).
    const auto n = static_cast<std::uint8_t>(hexField(line, 1, 2, nullptr));
    auto addr = static_cast<std::uint16_t>(hexField(line, 3, 4, nullptr));
    for (unsigned i = 1; i <= n; ++i) {
        const std::size_t pos = 2 * i + 7;
        // A byte whose two characters are not both inside the line is not stored; neither are
        // the bytes after it, which would lie further beyond the end.
        if (pos + 2 > line.size()) break;
        storeByte(image, addr, static_cast<std::uint8_t>(hexField(line, pos, 2, nullptr)));
        ++addr;  // wraps at 16 bits
    }
}

int LoadImageLines(tCfgImage& image, const std::vector<std::string>& lines) {
    image.fill(0xFF);
    for (const std::string& line : lines) ParseHexLine(image, line);
    for (int k = 1; k <= kChannels; ++k)
        if (image.ChannelPresent[k - 1].load() != 0) return k;
    return 0;
}

std::vector<std::string> splitTextLines(std::string_view text) {
    std::vector<std::string> lines;
    std::string current;
    bool pending = false;  // characters (or an empty line) since the last line end
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(std::move(current));
            current.clear();
            pending = false;
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            current += c;
            pending = true;
        }
    }
    if (pending) lines.push_back(std::move(current));
    return lines;
}

std::vector<std::string> readTextLines(const std::string& path) {
    const std::optional<std::string> text = readWholeFile(path);
    return text ? splitTextLines(*text) : std::vector<std::string>{};
}

bool writeTextLines(const std::string& path, const std::vector<std::string>& lines,
                    std::string* error) {
    std::string content;
    std::size_t size = 0;
    for (const std::string& line : lines) size += line.size() + 2;
    content.reserve(size);
    for (const std::string& line : lines) {
        content += line;
        content += "\r\n";
    }
    return replaceFileAtomically(path, content, error);
}

std::size_t findBadHexLine(const std::vector<std::string>& lines, std::string* reason) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].empty()) continue;  // the upload skips empty lines
        std::string why = checkHexLine(lines[i]);
        if (!why.empty()) {
            if (reason) *reason = std::move(why);
            return i + 1;
        }
    }
    if (reason) reason->clear();
    return 0;
}

}  // namespace kormlink

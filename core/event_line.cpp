#include "core/event_line.h"

#include <cstdio>

namespace kormlink {

std::string_view trimLine(std::string_view text) {
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= 32) text.remove_prefix(1);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= 32) text.remove_suffix(1);
    return text;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool hasControlByte(std::string_view text) {
    for (char c : text)
        if (isControlByte(static_cast<unsigned char>(c))) return true;
    return false;
}

std::string escapeControlBytes(std::string_view text) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (!isControlByte(c)) {
            out += ch;
            continue;
        }
        out += "\\x";
        out += kDigits[c >> 4];
        out += kDigits[c & 0x0F];
    }
    return out;
}

std::string overlongExcerpt(std::string_view head, std::size_t length) {
    return escapeControlBytes(head.substr(0, kOverlongExcerptBytes)) + "... (" +
           std::to_string(length) + " bytes)";
}

bool isEventLine(std::string_view line) {
    return startsWith(line, "COM") && !hasControlByte(trimLine(line));
}

bool hasValidEventLength(std::string_view trimmed) {
    return trimmed.size() == 72 || trimmed.size() == 74;
}

bool isNumberedLine(std::string_view line) {
    return isEventLine(line) && line.find("#4") == 12;
}

std::optional<std::uint32_t> parseHex(std::string_view text) {
    if (text.empty() || text.size() > 8) return std::nullopt;
    std::uint32_t value = 0;
    for (char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
        else if (c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
        else if (c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
        else return std::nullopt;
        value = value * 16 + digit;
    }
    return value;
}

std::optional<std::uint32_t> hexAt(std::string_view line, size_t pos, size_t len) {
    if (pos == 0 || line.size() < pos - 1 + len) return std::nullopt;
    return parseHex(line.substr(pos - 1, len));
}

std::string hexId(std::uint32_t id) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%X", id);
    return buf;
}

bool EventFields::isStatus() const {
    return hasIdWord && kind && *kind == 0 && digit39 && *digit39 == 0 && transmitterId &&
           *transmitterId == (lineId & 0xFF);
}

EventFields parseEventFields(std::string_view line) {
    EventFields f;
    size_t blank = line.rfind(' ');
    if (blank == std::string_view::npos || blank == 0) return f;
    f.hasIdWord = true;
    f.lineId = parseHex(line.substr(blank + 1)).value_or(0);
    f.transmitterId = hexAt(line, 41, 3);
    if (auto k = hexAt(line, 44, 1)) f.kind = *k & 7;
    f.digit39 = hexAt(line, 39, 1);
    return f;
}

std::string formatTimeStamp(const LocalTime& t) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d/%02d/%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    return buf;
}

std::string sysTimeCommand(const LocalTime& t) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "systime%02d,%02d,%02d,%02d,%02d,%02d", t.year % 100, t.month,
                  t.day, t.hour, t.minute, t.second);
    return buf;
}

std::string connectionRecord(const LocalTime& t, std::string_view what, std::uint32_t id,
                             std::string_view ip) {
    char idText[16];
    std::snprintf(idText, sizeof idText, "%6.6X", id);
    std::string record = localeDateTimeText(t);
    record += ' ';
    record += what;
    record += ' ';
    record += idText;
    record += ' ';
    record += ip;
    return record;
}

}  // namespace kormlink

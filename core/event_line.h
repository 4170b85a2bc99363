#pragma once

// Text helpers of the repeater protocol: trimming, the fixed positions of event lines, and the
// server's own line formats. Positions in comments are counted from 1, as in the line layout:
//   1-3 "COM", 4 system number, 13-14 "#4" on numbered lines, 17-35 time stamp,
//   39 digit (0 on status lines), 41-43 transmitter Id, 44 kind (low three bits),
//   47-62 state content of status lines, 64-67 batch number, last word the repeater's Id.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/local_time.h"

namespace kormlink {

inline constexpr std::string_view kRepeaterGreeting = "QX7310kv V1.02";
inline constexpr std::string_view kCrLf = "\r\n";

// Removes leading and trailing characters whose code is 32 or less.
std::string_view trimLine(std::string_view text);

bool startsWith(std::string_view text, std::string_view prefix);

// The longest line a repeater may send: twice the longest line of the protocol (the 521
// characters of a configuration record). A longer line is refused, not read.
inline constexpr std::size_t kMaxRepeaterLine = 1024;
// How much of a refused overlong line the status log keeps.
inline constexpr std::size_t kOverlongExcerptBytes = 80;

// Control bytes: below 0x20, and 0x7F. Bytes of 0x80 and above are Latin-1 text.
inline bool isControlByte(unsigned char c) { return c < 0x20 || c == 0x7F; }
bool hasControlByte(std::string_view text);
// The text with every control byte written as "\x" and two upper-case hexadecimal digits
// (ESC becomes \x1B, CR \x0D); every other byte, the backslash included, stays as it is. So
// the result holds no control byte, and escaping it again changes nothing: every log, window
// and console can escape what it is given without knowing whether it was escaped before. The
// price: a line that holds the four characters "\x1B" itself reads the same as one with an ESC.
std::string escapeControlBytes(std::string_view text);
// What the logs keep of a refused overlong line: its first kOverlongExcerptBytes bytes,
// escaped, then "... (N bytes)" with the line's whole length.
std::string overlongExcerpt(std::string_view head, std::size_t length);

// An event line begins with "COM" and holds no control byte between its trimmed ends. A line
// with one is no event: it is handled as a line the protocol does not know.
bool isEventLine(std::string_view line);
bool hasValidEventLength(std::string_view trimmed);  // 72 or 74 characters
// An event line whose first "#4" starts at position 13.
bool isNumberedLine(std::string_view line);

// The whole text as an unsigned hexadecimal number (upper or lower case); nullopt when empty,
// when any character is no hexadecimal digit, or when it exceeds 32 bits.
std::optional<std::uint32_t> parseHex(std::string_view text);
// The hexadecimal number at positions [pos, pos + len) counted from 1; nullopt when the line is
// too short or the characters are no number.
std::optional<std::uint32_t> hexAt(std::string_view line, size_t pos, size_t len);

// Upper-case hexadecimal without leading zeros, as repeater Ids are shown and typed.
std::string hexId(std::uint32_t id);

// What the server reads from a valid (trimmed, 72 or 74 characters) event line.
struct EventFields {
    bool hasIdWord = false;      // a blank stands after position 1
    std::uint32_t lineId = 0;    // the last word as hexadecimal; 0 when it is no number
    std::optional<std::uint32_t> transmitterId;  // positions 41-43
    std::optional<std::uint32_t> kind;           // position 44, low three bits
    std::optional<std::uint32_t> digit39;        // position 39
    // The repeater's report about itself: kind 0, digit 39 is 0, and the transmitter Id equals
    // the low eight bits of the line's own repeater Id.
    bool isStatus() const;
};
EventFields parseEventFields(std::string_view line);

// Positions 17-35: "YYYY/MM/DD hh:mm:ss".
inline constexpr size_t kTimeStampPos = 17;
inline constexpr size_t kTimeStampLen = 19;
std::string formatTimeStamp(const LocalTime& t);

// "systime" + two-digit year, month, day, hour, minute, second separated by commas.
std::string sysTimeCommand(const LocalTime& t);

// A connection-log record: "<date time> <what> <Id as six hex digits> <ip>".
std::string connectionRecord(const LocalTime& t, std::string_view what, std::uint32_t id,
                             std::string_view ip);

}  // namespace kormlink

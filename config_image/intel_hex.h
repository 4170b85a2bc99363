#pragma once

// Intel HEX lines of the configuration image, and checks of firmware files.
//
// A data record is ":" count(2) address(4) "00" data(2 each) checksum(2), upper-case on
// output, either case on input; the end record is ":00000001FF". What BuildImageHexLines
// produces ends with a count line "C/<number of lines before it>"; saved files leave it out.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config_image/cfg_image.h"

namespace kormlink {

// Appends data records for device addresses first..last from data[start...], 16 bytes a
// record. The range ends one byte after last unless its length is a multiple of 16 (the
// format's "last + 1" rule). Bytes past the end of data are never read (they count as 0xFF).
void WriteHexRange(std::uint16_t first, std::uint16_t last, const std::uint8_t* data,
                   std::size_t dataSize, std::size_t start, std::vector<std::string>& lines);

// Mask table, general block, network block, the slot records of the present channels, the end
// record and the count line, appended to lines. The editor runs StoreGeneral first.
void BuildImageHexLines(const tCfgImage& image, std::vector<std::string>& lines);

// Applies one line to the image: data records (type 00) only; every byte is dispatched to its
// area by device address, bytes for unmapped addresses are dropped. Other lines are ignored.
// The type (characters 8-9) must be present and read as 0; the count, address and data fields
// are read by textToNumber with "$" in front, so a malformed field gives the digits before its
// first bad character. A line shorter than its count says stores only the bytes whose two
// characters are both present; nothing past the end of the line is read. The checksum is not
// checked.
void ParseHexLine(tCfgImage& image, std::string_view line);

// Sets every area and slot record to 0xFF, applies every line, and returns the lowest present
// channel (1-8), or 0 when no channel is present. (The editor then selects that channel.)
int LoadImageLines(tCfgImage& image, const std::vector<std::string>& lines);

// Text split into lines at CR, LF or CR LF; a last line without its end counts too.
std::vector<std::string> splitTextLines(std::string_view text);
// The lines of a text file, split so; empty when the file cannot be read.
std::vector<std::string> readTextLines(const std::string& path);
// Writes lines, each ended by CR LF, replacing the file atomically.
bool writeTextLines(const std::string& path, const std::vector<std::string>& lines,
                    std::string* error = nullptr);

// Checks that every non-empty line is a well-formed Intel HEX record (":" then an even number
// of hexadecimal digits, a count that matches the data, a correct checksum). Returns the
// 1-based number of the first bad line, or 0 when all are good; reason (when given) says what.
std::size_t findBadHexLine(const std::vector<std::string>& lines, std::string* reason = nullptr);

}  // namespace kormlink

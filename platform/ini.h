#pragma once

// The INI configuration file, kept as an ordered list of lines.
//
// Reading rules (those an operator knows from Windows profile files):
// - "[name]" starts a section; "key=value" lines belong to the section above them; a line whose
//   first non-blank character is ';' is a comment; any other line is kept but carries no value.
// - Section and key names are looked up case-insensitively (ASCII). When a section name occurs
//   twice, look-ups use the first one; when a key occurs twice in a section, the first wins.
// - Names and values are trimmed of blanks and tabs; a value enclosed in a matching pair of
//   double or single quotes loses the quotes. Bytes outside ASCII pass through unchanged.
// - Integers are decimal with an optional sign and must fill the whole (trimmed) value and fit
//   32 bits; anything else reads as the caller's default, as does an absent key or file.
//
// Writing keeps every other line (comments, unknown keys, order, line-ending style) as it
// stands and replaces the file atomically.
//
// An IniFile is a plain value: not thread-safe, but cheap to load wherever a value is needed.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kormlink {

class IniFile {
public:
    // A missing or unreadable file yields an empty IniFile: every default applies.
    static IniFile load(const std::string& path);
    static IniFile parse(std::string_view text);

    // Every section header in file order, duplicates included, names as written.
    std::vector<std::string> sectionNames() const;
    bool hasSection(std::string_view section) const;
    // The key=value pairs of the first section with that name, in file order, names as written.
    std::vector<std::pair<std::string, std::string>> entries(std::string_view section) const;

    std::optional<std::string> value(std::string_view section, std::string_view key) const;
    std::string readString(std::string_view section, std::string_view key,
                           std::string_view def) const;
    std::int32_t readInteger(std::string_view section, std::string_view key,
                             std::int32_t def) const;
    // readInteger with default 0 or 1; any non-zero value is true.
    bool readBool(std::string_view section, std::string_view key, bool def) const;

    // Sets the value of the first matching key, appends the key to the end of the section when
    // missing, or appends the section to the end of the file when it is missing.
    void writeString(std::string_view section, std::string_view key, std::string_view value);
    void writeInteger(std::string_view section, std::string_view key, std::int32_t value);
    void writeBool(std::string_view section, std::string_view key, bool value);
    // Removes every section of that name with all its lines.
    void eraseSection(std::string_view section);
    // Removes every section whose name passes the test and puts the sections of replacement where
    // the first of them stood (at the end of the file when none did). Comment and blank lines
    // directly above the header of a section that stays describe that section, so they stay.
    void replaceSections(const std::function<bool(std::string_view name)>& which,
                         const IniFile& replacement);

    std::string render() const;
    // Writes render() atomically to path. On failure the old file is untouched.
    bool save(const std::string& path, std::string* error = nullptr) const;

private:
    enum class Kind { Other, Section, Key };
    struct Line {
        Kind kind = Kind::Other;
        std::string raw;    // the line as written, without its line end
        std::string name;   // section or key name, trimmed
        std::string value;  // key value, trimmed and unquoted
    };

    // Index of the first header line of the section, or npos.
    size_t findSection(std::string_view section) const;
    // One past the last line of the section that starts at header.
    size_t sectionEnd(size_t header) const;
    size_t findKey(size_t header, std::string_view key) const;

    std::vector<Line> m_lines;
    std::string m_newline = "\n";
};

bool equalsIgnoreCase(std::string_view a, std::string_view b);
// The text without the blanks and tabs around it.
std::string_view trimBlanks(std::string_view s);
// A value as it is written after "key=", quoted where reading would otherwise change it.
std::string iniValueText(const std::string& value);
// Decimal integer filling the whole text (blanks around it allowed) and fitting 32 bits.
std::optional<std::int32_t> parseDecimal32(std::string_view text);

}  // namespace kormlink

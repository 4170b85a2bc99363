#include "platform/ini.h"

#include <charconv>

#include "platform/files.h"

namespace kormlink {
namespace {

constexpr size_t npos = std::string::npos;

std::string unquote(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        return std::string(v.substr(1, v.size() - 2));
    return std::string(v);
}


}  // namespace

// A value as it is written after "key=": quoted when reading would otherwise change it (blanks
// at either end are trimmed, an outer pair of quotes is taken off).
std::string iniValueText(const std::string& value) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    const bool needsQuotes = !value.empty() && (blank(value.front()) || blank(value.back()) ||
                                                unquote(value) != value);
    return needsQuotes ? "\"" + value + "\"" : value;
}

std::string_view trimBlanks(std::string_view s) {
    // A CR counts as a blank: a value may not end in one, or written back it would read as
    // the line end of a CR LF file.
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

std::optional<std::int32_t> parseDecimal32(std::string_view text) {
    text = trimBlanks(text);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') return std::nullopt;
    }
    std::int32_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

IniFile IniFile::load(const std::string& path) {
    auto text = readWholeFile(path);
    return text ? parse(*text) : IniFile{};
}

IniFile IniFile::parse(std::string_view text) {
    IniFile ini;
    if (auto lf = text.find('\n'); lf != npos && lf > 0 && text[lf - 1] == '\r')
        ini.m_newline = "\r\n";
    // A UTF-8 byte order mark written by some editors is not part of the first line; nor are
    // more of them (the file is written back without any, and must read the same).
    while (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    size_t pos = 0;
    while (pos < text.size()) {
        size_t lf = text.find('\n', pos);
        std::string_view raw = text.substr(pos, lf == npos ? npos : lf - pos);
        pos = (lf == npos) ? text.size() : lf + 1;
        if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);

        Line line;
        line.raw = std::string(raw);
        std::string_view t = trimBlanks(raw);
        if (!t.empty() && t.front() == '[') {
            size_t close = t.find(']');
            line.kind = Kind::Section;
            line.name = std::string(trimBlanks(t.substr(1, close == npos ? npos : close - 1)));
        } else if (!t.empty() && t.front() != ';') {
            size_t eq = t.find('=');
            if (eq != npos && eq > 0) {
                line.kind = Kind::Key;
                line.name = std::string(trimBlanks(t.substr(0, eq)));
                line.value = unquote(trimBlanks(t.substr(eq + 1)));
            }
        }
        ini.m_lines.push_back(std::move(line));
    }
    return ini;
}

size_t IniFile::findSection(std::string_view section) const {
    for (size_t i = 0; i < m_lines.size(); ++i)
        if (m_lines[i].kind == Kind::Section && equalsIgnoreCase(m_lines[i].name, section))
            return i;
    return npos;
}

size_t IniFile::sectionEnd(size_t header) const {
    size_t i = header + 1;
    while (i < m_lines.size() && m_lines[i].kind != Kind::Section) ++i;
    return i;
}

size_t IniFile::findKey(size_t header, std::string_view key) const {
    size_t end = sectionEnd(header);
    for (size_t i = header + 1; i < end; ++i)
        if (m_lines[i].kind == Kind::Key && equalsIgnoreCase(m_lines[i].name, key)) return i;
    return npos;
}

std::vector<std::string> IniFile::sectionNames() const {
    std::vector<std::string> names;
    for (const auto& line : m_lines)
        if (line.kind == Kind::Section) names.push_back(line.name);
    return names;
}

bool IniFile::hasSection(std::string_view section) const { return findSection(section) != npos; }

std::vector<std::pair<std::string, std::string>> IniFile::entries(std::string_view section) const {
    std::vector<std::pair<std::string, std::string>> result;
    size_t header = findSection(section);
    if (header == npos) return result;
    size_t end = sectionEnd(header);
    for (size_t i = header + 1; i < end; ++i)
        if (m_lines[i].kind == Kind::Key) result.emplace_back(m_lines[i].name, m_lines[i].value);
    return result;
}

std::optional<std::string> IniFile::value(std::string_view section, std::string_view key) const {
    size_t header = findSection(section);
    if (header == npos) return std::nullopt;
    size_t at = findKey(header, key);
    if (at == npos) return std::nullopt;
    return m_lines[at].value;
}

std::string IniFile::readString(std::string_view section, std::string_view key,
                                std::string_view def) const {
    auto v = value(section, key);
    return v ? *v : std::string(def);
}

std::int32_t IniFile::readInteger(std::string_view section, std::string_view key,
                                  std::int32_t def) const {
    auto v = value(section, key);
    if (!v) return def;
    return parseDecimal32(*v).value_or(def);
}

bool IniFile::readBool(std::string_view section, std::string_view key, bool def) const {
    return readInteger(section, key, def ? 1 : 0) != 0;
}

void IniFile::writeString(std::string_view section, std::string_view key, std::string_view value) {
    Line keyLine;
    keyLine.kind = Kind::Key;
    keyLine.name = std::string(key);
    keyLine.value = std::string(value);
    keyLine.raw = keyLine.name + "=" + iniValueText(keyLine.value);

    size_t header = findSection(section);
    if (header == npos) {
        Line head;
        head.kind = Kind::Section;
        head.name = std::string(section);
        head.raw = "[" + head.name + "]";
        m_lines.push_back(std::move(head));
        m_lines.push_back(std::move(keyLine));
        return;
    }
    size_t at = findKey(header, key);
    if (at != npos) {
        keyLine.name = m_lines[at].name;  // keep the operator's spelling of the key
        keyLine.raw = keyLine.name + "=" + iniValueText(keyLine.value);
        m_lines[at] = std::move(keyLine);
        return;
    }
    // Insert after the section's last non-blank line, so a blank separator stays in place.
    size_t end = sectionEnd(header);
    size_t insertAt = end;
    while (insertAt > header + 1 && trimBlanks(m_lines[insertAt - 1].raw).empty()) --insertAt;
    m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(insertAt), std::move(keyLine));
}

void IniFile::writeInteger(std::string_view section, std::string_view key, std::int32_t value) {
    writeString(section, key, std::to_string(value));
}

void IniFile::writeBool(std::string_view section, std::string_view key, bool value) {
    writeString(section, key, value ? "1" : "0");
}

void IniFile::eraseSection(std::string_view section) {
    for (size_t header; (header = findSection(section)) != npos;) {
        size_t end = sectionEnd(header);
        m_lines.erase(m_lines.begin() + static_cast<std::ptrdiff_t>(header),
                      m_lines.begin() + static_cast<std::ptrdiff_t>(end));
    }
}

void IniFile::replaceSections(const std::function<bool(std::string_view)>& which,
                              const IniFile& replacement) {
    std::optional<size_t> at;
    for (size_t i = 0; i < m_lines.size();) {
        if (m_lines[i].kind != Kind::Section || !which(m_lines[i].name)) {
            ++i;
            continue;
        }
        const size_t end = sectionEnd(i);
        // The lines above a header that stays belong to it; above a header that goes too, they
        // go with it (keeping them would add lines at every rewrite).
        size_t keepFrom = end;
        if (end < m_lines.size() && !which(m_lines[end].name))
            while (keepFrom > i + 1 && m_lines[keepFrom - 1].kind == Kind::Other) --keepFrom;
        m_lines.erase(m_lines.begin() + static_cast<std::ptrdiff_t>(i),
                      m_lines.begin() + static_cast<std::ptrdiff_t>(keepFrom));
        if (!at) at = i;
    }
    if (!at) {
        at = m_lines.size();
        // A blank line between the last section and the new ones, as an editor would leave it.
        if (!m_lines.empty() && !trimBlanks(m_lines.back().raw).empty() &&
            !replacement.m_lines.empty()) {
            m_lines.push_back(Line{});
            at = m_lines.size();
        }
    }
    m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(*at), replacement.m_lines.begin(),
                   replacement.m_lines.end());
}

std::string IniFile::render() const {
    std::string text;
    for (const auto& line : m_lines) {
        text += line.raw;
        text += m_newline;
    }
    return text;
}

bool IniFile::save(const std::string& path, std::string* error) const {
    return replaceFileAtomically(path, render(), error);
}

}  // namespace kormlink

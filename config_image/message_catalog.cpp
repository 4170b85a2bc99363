#include "config_image/message_catalog.h"

#include <cstdio>
#include <mutex>

#include "platform/files.h"
#include "platform/ini.h"

namespace kormlink {
namespace {

constexpr std::array<std::string_view, kMessageCount> kBuiltIn = {
    "Attention! Incorrect using of this option may cause the device malfunction!",
    "Wrong version (%1.1f)!",
    "Wait timeout exceeding!",
    "Attention! For competent users only! Incorrect using of this option may cause the device "
    "malfunction!",
    "To leave without record?",
    "To leave with record?",
    "Incorrect quantity of used segments! Continue?",
    "Incorrect quantity of used blacklists! Continue?",
    "Load from repeater?",
};

std::size_t indexOf(MessageId id) { return static_cast<std::size_t>(id); }

bool isOneOf(char c, std::string_view set) { return set.find(c) != std::string_view::npos; }

// True when format holds exactly one conversion, of a floating-point kind, with optional flags,
// width and precision but no "*" and no length modifier, and every other "%" is doubled: a
// format that snprintf can take with a single double and nothing else.
bool isSingleDoubleFormat(std::string_view format) {
    int conversions = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') continue;
        if (++i == format.size()) return false;
        if (format[i] == '%') continue;
        while (i < format.size() && isOneOf(format[i], "-+ #0")) ++i;
        while (i < format.size() && format[i] >= '0' && format[i] <= '9') ++i;
        if (i < format.size() && format[i] == '.') {
            ++i;
            while (i < format.size() && format[i] >= '0' && format[i] <= '9') ++i;
        }
        if (i == format.size() || !isOneOf(format[i], "fFeEgGaA")) return false;
        ++conversions;
    }
    return conversions == 1;
}

std::string formatDouble(const std::string& format, double value) {
    // The format was checked by isSingleDoubleFormat, so one double is exactly what it takes.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const int size = std::snprintf(nullptr, 0, format.c_str(), value);
    if (size < 0) return format;
    std::string out(static_cast<std::size_t>(size) + 1, '\0');
    std::snprintf(out.data(), out.size(), format.c_str(), value);
#pragma GCC diagnostic pop
    out.resize(static_cast<std::size_t>(size));
    return out;
}

}  // namespace

std::string_view builtInMessage(MessageId id) { return kBuiltIn[indexOf(id)]; }

MessageCatalog::MessageCatalog() {
    for (std::size_t i = 0; i < kMessageCount; ++i) m_texts[i] = std::string(kBuiltIn[i]);
}

void MessageCatalog::load(const std::string& dataDir) {
    const IniFile ini = IniFile::load(joinPath(dataDir, kCatalogFileName));
    std::array<std::string, kMessageCount> texts;
    for (std::size_t i = 0; i < kMessageCount; ++i)
        texts[i] = ini.readString(kMessageSection, kBuiltIn[i], kBuiltIn[i]);
    std::unique_lock lock(m_mutex);
    m_texts = std::move(texts);
    m_dataDir = dataDir;
}

std::string MessageCatalog::text(MessageId id) const {
    std::shared_lock lock(m_mutex);
    return m_texts[indexOf(id)];
}

std::string MessageCatalog::lookup(std::string_view english) const {
    for (std::size_t i = 0; i < kMessageCount; ++i) {
        if (kBuiltIn[i] == english) {
            std::shared_lock lock(m_mutex);
            return m_texts[i];
        }
    }
    return std::string(english);
}

std::string MessageCatalog::formatWrongVersion(double version) const {
    std::string format = text(MessageId::sWrongVersion);
    if (!isSingleDoubleFormat(format))
        format = std::string(builtInMessage(MessageId::sWrongVersion));
    return formatDouble(format, version);
}

int MessageCatalog::translateForm(const std::string& windowName,
                                  const SetCaption& setCaption) const {
    // Windows created several times read the file each time, so edits show without a restart.
    const IniFile ini = IniFile::load(catalogPath());
    int applied = 0;
    if (setCaption(windowName, ini.readString(windowName, windowName, ""))) ++applied;
    for (const auto& [key, value] : ini.entries(windowName)) {
        if (equalsIgnoreCase(key, windowName)) continue;  // the window caption, done above
        // The first entry of a key wins, as for every look-up in the file.
        if (setCaption(key, ini.readString(windowName, key, value))) ++applied;
    }
    return applied;
}

std::string MessageCatalog::catalogPath() const {
    std::shared_lock lock(m_mutex);
    return joinPath(m_dataDir, kCatalogFileName);
}

MessageCatalog& messageCatalog() {
    static MessageCatalog catalog;
    return catalog;
}

void LoadMessages(const std::string& dataDir) { messageCatalog().load(dataDir); }

std::string message(MessageId id) { return messageCatalog().text(id); }


int TranslateForm(const std::string& windowName, const SetCaption& setCaption) {
    return messageCatalog().translateForm(windowName, setCaption);
}

}  // namespace kormlink

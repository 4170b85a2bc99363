#pragma once

// The message catalog: operator texts that can be replaced without rebuilding the program.
//
// One INI file, RPT_Str.ini in the program's data folder, holds two kinds of entries:
// - section "Msg": replacements for the nine messages below, keyed by each message's built-in
//   English text ("Load from repeater?=..."); keys are matched case-insensitively;
// - one section per window, named after the window's component name: "<window>=<title>" for
//   the window's own caption and "<component>=<caption>" for its controls.
// A missing file or entry leaves the built-in English message; see TranslateForm for captions.
// The file is only read, never written. Texts are kept as the file's bytes; the UI decides how
// to decode them (UTF-8 files work as they are).
//
// Threads: the process-wide catalog is loaded once on the main thread at start-up and then read
// from any thread (connection threads show messages). Every member of MessageCatalog may be
// called from any thread: reads take a shared lock and return copies, load takes it exclusively.

#include <array>
#include <cstddef>
#include <functional>
#include <shared_mutex>
#include <string>
#include <string_view>

namespace kormlink {

enum class MessageId {
    sOptionWarning,  // before a firmware update is started
    sWrongVersion,   // repeater firmware too old; a format with one floating-point placeholder
    sWaitTimeout,    // a download or upload got no answer in time
    sCompetentOnly,  // the editor's "Advanced" page is opened
    sLeaveWithout,   // the editor is closed without OK
    sLeaveWith,      // the editor is closed with OK
    sBadSegCount,    // segment count check
    sBadBlackCount,  // black list count check
    sLoadFromRpt,    // before the editor is filled from a repeater
};
inline constexpr std::size_t kMessageCount = 9;

inline constexpr const char* kCatalogFileName = "RPT_Str.ini";
inline constexpr const char* kMessageSection = "Msg";

// The built-in English text of a message, which is also its key in section "Msg".
std::string_view builtInMessage(MessageId id);

// Sets the caption of one component of the window being translated and says whether it did.
// componentName is the window's own name for the window caption, otherwise a key of the
// window's section as written in the file (component names are matched case-insensitively).
// The UI looks the component up and sets its caption only if it is, taking the first kind that
// applies: menu item, label, tool button, button, group box, tab sheet, radio group, check box,
// window. It returns false for an unknown name or a component of another kind (edits, combo
// boxes, list views), leaving it unchanged.
using SetCaption =
    std::function<bool(const std::string& componentName, const std::string& caption)>;

class MessageCatalog {
public:
    // Built-in texts; the catalog file is looked for in the current folder until load().
    MessageCatalog();

    // Reads section "Msg" of dataDir/RPT_Str.ini: each message takes the value of its built-in
    // text's key, or its built-in text when the key or the file is missing. Reloading therefore
    // gives the same result as the first load. Remembers dataDir for translateForm.
    void load(const std::string& dataDir);

    // The current text of a message.
    std::string text(MessageId id) const;
    // The current text of the message whose built-in text is english (exact match); any other
    // text comes back unchanged, so callers may pass texts that have no catalog entry.
    std::string lookup(std::string_view english) const;
    // sWrongVersion with the version filled in. A replacement that does not hold exactly one
    // floating-point placeholder (plus any "%%") is not used as a format: the built-in one is.
    std::string formatWrongVersion(double version) const;

    // Reads the file anew and applies the section named windowName: first
    // setCaption(windowName, title), the title being empty when the window's own key is missing
    // (so a missing file leaves an empty window caption); then, for every other key of the
    // section in file order, setCaption(key, value). Returns how many calls returned true.
    // setCaption is called without any lock held.
    int translateForm(const std::string& windowName, const SetCaption& setCaption) const;

    std::string catalogPath() const;

private:
    mutable std::shared_mutex m_mutex;
    std::array<std::string, kMessageCount> m_texts;
    std::string m_dataDir = ".";
};

// The process-wide catalog and its shortcuts.
MessageCatalog& messageCatalog();
void LoadMessages(const std::string& dataDir);
std::string message(MessageId id);
int TranslateForm(const std::string& windowName, const SetCaption& setCaption);

}  // namespace kormlink

#pragma once

// The configuration editor without its window: the image being edited, the texts, check states
// and selector positions of the editor's controls, the address mask grid, and the operations
// that move values between the controls and the image.
//
// Controls are addressed by the names of the field table (field_table.h): edit fields and
// selectors by field name ("eRepAddr", "eAltForGsm"), check boxes by their own names
// ("eRADIO_r"). ShowGeneral/StoreGeneral cover the General, Advanced and "Wiznet Settings"
// pages; ShowSlot/StoreSlot the Slots page of CurrentChannel and its mask grid.
//
// StoreSlot checks the two counts of the Slots page and asks the operator through
// EditorQuestions whether to go on when a count is wrong; a "No" keeps the page's values in the
// slot record but leaves the mask table unwritten and reports failure, so the caller stays on
// the current channel (channel change, Save and OK all stop there).
//
// Threads: the user-interface thread owns the editor. BuildImageHex and LoadImageFromHex may run
// on a repeater connection's thread while the user-interface thread waits for TransferState and
// does not touch the editor; nothing here takes a lock.

#include <array>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config_image/cfg_image.h"
#include "config_image/field_table.h"
#include "config_image/mask_grid.h"

namespace kormlink {

// The operator-facing questions of the editor. The built-in English texts may be replaced by
// the message catalog.
struct EditorMessages {
    std::string badSegCount = "Incorrect quantity of used segments! Continue?";
    std::string badBlackCount = "Incorrect quantity of used blacklists! Continue?";
    std::string leaveWith = "To leave with record?";
    std::string leaveWithout = "To leave without record?";
};

// Answers the editor's questions; the window implements it with message and input boxes.
class EditorQuestions {
  public:
    virtual ~EditorQuestions() = default;
    // A Yes/No question (caption "Warning"); true means Yes.
    virtual bool ask(const std::string& text) = 0;
    // The Set/Clear input box (caption "Set" or "Clr", prompt "From To", empty default). An
    // empty answer (or a cancelled box) changes nothing.
    virtual std::string askRanges(const std::string& caption) {
        (void)caption;
        return {};
    }
};

class ConfigEditor {
  public:
    // Without questions (nullptr) every Yes/No question counts as answered Yes and no range
    // text is ever given. The questions object must outlive the editor or be replaced.
    explicit ConfigEditor(EditorQuestions* questions = nullptr);
    ConfigEditor(const ConfigEditor&) = delete;
    ConfigEditor& operator=(const ConfigEditor&) = delete;

    void setQuestions(EditorQuestions* questions) { m_questions = questions; }
    void setMessages(EditorMessages messages) { m_messages = std::move(messages); }

    tCfgImage& image() { return m_image; }
    const tCfgImage& image() const { return m_image; }
    MaskGrid& grid() { return m_grid; }
    const MaskGrid& grid() const { return m_grid; }

    // Controls by name. Setters return false (and change nothing) for a name that is not an
    // edit field, check box or selector respectively; getters return "", false or -1 for it.
    // A selector position outside its list is stored as -1 (no selection).
    bool setText(std::string_view name, std::string text);
    std::string text(std::string_view name) const;
    bool setChecked(std::string_view name, bool checked);
    bool checked(std::string_view name) const;
    bool setSelection(std::string_view name, int position);
    int selection(std::string_view name) const;

    // General block and network block <-> General, Advanced and "Wiznet Settings" pages.
    void ShowGeneral();
    void StoreGeneral();
    // Slot record and mask bit of CurrentChannel <-> Slots page and grid. ShowSlot does nothing
    // when CurrentChannel is not 1-8.
    void ShowSlot();
    // Writes the Slots page into CurrentChannel's record, checks the counts and, unless the
    // operator said No, writes the grid into the mask table. True at once when CurrentChannel
    // is not 1-8; false when the operator stopped at a count question.
    bool StoreSlot();

    // StoreGeneral, then the image's Intel HEX lines (ending with the count line) appended.
    void BuildImageHex(std::vector<std::string>& lines);
    // Rebuilds the image from lines, enables the channel buttons of the present channels and
    // shows the lowest present channel; with none present CurrentChannel becomes 0 (no channel
    // shown, so a later StoreSlot cannot write a stale page into the fresh image). The General
    // pages are not refreshed: the caller runs ShowGeneral.
    void LoadImageFromHex(const std::vector<std::string>& lines);
    // Whether channel button k (1-8) may be clicked; all are enabled in a new editor.
    bool channelButtonEnabled(int k) const;

    // A channel button click: StoreSlot for the current channel, then show channel k. Returns
    // false, leaving the current channel shown, when StoreSlot failed or k is not 1-8.
    bool selectChannel(int k);

    // The Set and Clear buttons of the mask grid: the mouse selection when there is one,
    // otherwise the ranges the operator types (EditorQuestions::askRanges).
    void maskSet();
    void maskClear();

    // Save to a file the operator chose: StoreSlot (a "No" to a count question stops here and
    // returns false with an empty error), then the HEX lines without the count line, written
    // with CR LF line ends. False with error set when the file cannot be written.
    bool saveHexFile(const std::string& path, std::string* error = nullptr);
    // The same without StoreSlot, for a caller that ran it before asking for the file.
    bool writeHexFile(const std::string& path, std::string* error = nullptr);
    // Load a file: its lines (none when unreadable, giving an all-0xFF image) go through
    // LoadImageFromHex with the current ChannelPresent flags, then ShowGeneral. Unsaved edits of
    // the Slots page are discarded.
    void loadHexFile(const std::string& path);

    // Close query: with OK (accepted) StoreSlot must succeed and the operator must confirm
    // leaving with record; otherwise the operator must confirm leaving without it.
    bool queryClose(bool accepted);

  private:
    bool ask(const std::string& text);
    void showField(const FieldDef& field, std::span<const std::uint8_t> area);
    void storeField(const FieldDef& field, std::span<std::uint8_t> area);
    void applyMask(bool set);

    tCfgImage m_image;
    MaskGrid m_grid;
    EditorQuestions* m_questions;
    EditorMessages m_messages;
    std::map<std::string, std::string, std::less<>> m_texts;
    std::map<std::string, bool, std::less<>> m_checks;
    std::map<std::string, int, std::less<>> m_selections;
    std::array<bool, kChannels> m_buttonEnabled;
};

}  // namespace kormlink

#include "config_image/editor_model.h"

#include "config_image/intel_hex.h"

namespace kormlink {
namespace {

bool isSelector(const FieldDef& field) {
    return field.encoding == FieldEncoding::OneHot || field.encoding == FieldEncoding::SlotType;
}

std::uint16_t wordAt(const tSlotRec& rec, std::size_t offset) {
    return static_cast<std::uint16_t>((rec[offset] << 8) | rec[offset + 1]);
}

// Pairs 1-16 ("<prefix><i>L", "<prefix><i>H") of the record with either value non-zero,
// wherever they lie in the list.
int usedPairs(const tSlotRec& rec, const std::string& prefix) {
    int used = 0;
    for (int i = 1; i <= 16; ++i) {
        const FieldDef* low = findField(prefix + std::to_string(i) + "L");
        const FieldDef* high = findField(prefix + std::to_string(i) + "H");
        if (wordAt(rec, low->offset) != 0 || wordAt(rec, high->offset) != 0) ++used;
    }
    return used;
}

}  // namespace

ConfigEditor::ConfigEditor(EditorQuestions* questions) : m_questions(questions) {
    m_buttonEnabled.fill(true);
    for (const FieldDef& field : fieldTable()) {
        if (field.encoding == FieldEncoding::Bits) {
            for (const CheckBoxDef& box : field.checks) m_checks.emplace(box.name, false);
        } else if (isSelector(field)) {
            m_selections.emplace(field.name, -1);
        } else {
            m_texts.emplace(field.name, std::string());
        }
    }
}

bool ConfigEditor::setText(std::string_view name, std::string text) {
    auto it = m_texts.find(name);
    if (it == m_texts.end()) return false;
    it->second = std::move(text);
    return true;
}

std::string ConfigEditor::text(std::string_view name) const {
    auto it = m_texts.find(name);
    return it == m_texts.end() ? std::string() : it->second;
}

bool ConfigEditor::setChecked(std::string_view name, bool checked) {
    auto it = m_checks.find(name);
    if (it == m_checks.end()) return false;
    it->second = checked;
    return true;
}

bool ConfigEditor::checked(std::string_view name) const {
    auto it = m_checks.find(name);
    return it != m_checks.end() && it->second;
}

bool ConfigEditor::setSelection(std::string_view name, int position) {
    auto it = m_selections.find(name);
    if (it == m_selections.end()) return false;
    const int entries = static_cast<int>(findField(name)->choices.size());
    it->second = position >= 0 && position < entries ? position : -1;
    return true;
}

int ConfigEditor::selection(std::string_view name) const {
    auto it = m_selections.find(name);
    return it == m_selections.end() ? -1 : it->second;
}

void ConfigEditor::showField(const FieldDef& field, std::span<const std::uint8_t> area) {
    if (field.encoding == FieldEncoding::Bits) {
        for (const CheckBoxDef& box : field.checks) m_checks[box.name] = fieldBit(field, box, area);
    } else if (isSelector(field)) {
        m_selections[field.name] = fieldToSelection(field, area);
    } else {
        m_texts[field.name] = fieldToText(field, area);
    }
}

void ConfigEditor::storeField(const FieldDef& field, std::span<std::uint8_t> area) {
    if (field.encoding == FieldEncoding::Bits) {
        std::vector<bool> ticked;
        for (const CheckBoxDef& box : field.checks) ticked.push_back(checked(box.name));
        checksToField(field, ticked, area);
    } else if (isSelector(field)) {
        selectionToField(field, selection(field.name), area);
    } else {
        textToField(field, text(field.name), area);
    }
}

void ConfigEditor::ShowGeneral() {
    for (const FieldDef& field : fieldTable()) {
        if (field.area == FieldArea::General) showField(field, m_image.General);
        if (field.area == FieldArea::Network) showField(field, m_image.Network);
    }
}

void ConfigEditor::StoreGeneral() {
    // Table order matters: eLocalIp overwrites the NUL stored after eWiznetSWCombination.
    for (const FieldDef& field : fieldTable()) {
        if (field.area == FieldArea::General) storeField(field, m_image.General);
        if (field.area == FieldArea::Network) storeField(field, m_image.Network);
    }
}

void ConfigEditor::ShowSlot() {
    const int k = m_image.CurrentChannel;
    if (k < 1 || k > kChannels) return;
    const tSlotRec& rec = m_image.Slots[static_cast<std::size_t>(k - 1)];
    for (const FieldDef& field : fieldTable()) {
        if (field.area == FieldArea::Slot) showField(field, rec);
    }
    m_grid.showChannel(m_image.Mask, k);
}

bool ConfigEditor::StoreSlot() {
    const int k = m_image.CurrentChannel;
    if (k < 1 || k > kChannels) return true;
    tSlotRec& rec = m_image.Slots[static_cast<std::size_t>(k - 1)];
    for (const FieldDef& field : fieldTable()) {
        if (field.area == FieldArea::Slot) storeField(field, rec);
    }
    // The counts are checked against the record just written, so they see the same low 8/16
    // bits that will reach the repeater.
    if (usedPairs(rec, "eSegment") != rec[1] && !ask(m_messages.badSegCount)) return false;
    if (usedPairs(rec, "eBlackList") != rec[66] && !ask(m_messages.badBlackCount)) return false;
    m_grid.storeChannel(m_image.Mask, k);
    return true;
}

void ConfigEditor::BuildImageHex(std::vector<std::string>& lines) {
    StoreGeneral();
    BuildImageHexLines(m_image, lines);
}

void ConfigEditor::LoadImageFromHex(const std::vector<std::string>& lines) {
    for (int k = 1; k <= kChannels; ++k) {
        m_buttonEnabled[static_cast<std::size_t>(k - 1)] =
            m_image.ChannelPresent[static_cast<std::size_t>(k - 1)].load() != 0;
    }
    const int channel = LoadImageLines(m_image, lines);
    m_image.CurrentChannel = static_cast<std::uint8_t>(channel);
    if (channel != 0) ShowSlot();
}

bool ConfigEditor::channelButtonEnabled(int k) const {
    return k >= 1 && k <= kChannels && m_buttonEnabled[static_cast<std::size_t>(k - 1)];
}

bool ConfigEditor::selectChannel(int k) {
    if (!channelButtonEnabled(k)) return false;
    if (!StoreSlot()) return false;
    m_image.CurrentChannel = static_cast<std::uint8_t>(k);
    ShowSlot();
    return true;
}

void ConfigEditor::applyMask(bool set) {
    if (m_grid.hasSelection()) {
        m_grid.applyToSelection(set);
        return;
    }
    const std::string answer = m_questions ? m_questions->askRanges(set ? "Set" : "Clr") : "";
    m_grid.applyRangeText(answer, set);
}

void ConfigEditor::maskSet() { applyMask(true); }

void ConfigEditor::maskClear() { applyMask(false); }

bool ConfigEditor::saveHexFile(const std::string& path, std::string* error) {
    if (error) error->clear();
    return StoreSlot() && writeHexFile(path, error);
}

bool ConfigEditor::writeHexFile(const std::string& path, std::string* error) {
    std::vector<std::string> lines;
    BuildImageHex(lines);
    if (!lines.empty()) lines.pop_back();  // the count line is not part of a file
    return writeTextLines(path, lines, error);
}

void ConfigEditor::loadHexFile(const std::string& path) {
    LoadImageFromHex(readTextLines(path));
    ShowGeneral();
}

bool ConfigEditor::queryClose(bool accepted) {
    if (accepted) return StoreSlot() && ask(m_messages.leaveWith);
    return ask(m_messages.leaveWithout);
}

bool ConfigEditor::ask(const std::string& text) {
    return m_questions ? m_questions->ask(text) : true;
}

}  // namespace kormlink

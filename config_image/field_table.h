#pragma once

// Every editable value of the configuration image, described once as data.
//
// Each FieldDef names one edit field, check-box group or selector of the configuration editor
// and says where its bytes live (area and offset), how they are encoded and where the editor
// shows it (page, caption, unit, tab). The conversions below and the editor model are driven
// by this table alone, and so is a window that builds its controls from it, so a layout fix is
// made in one place.
//
// The table is built once on first use (thread-safe) and never changes afterwards; it may be
// read from any thread.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kormlink {

enum class FieldArea { General, Network, Slot };

enum class FieldEncoding {
    Dec8,      // one byte, decimal text
    Hex8,      // one byte, two upper-case hexadecimal digits; typed text is read after a "$"
    Be16,      // two bytes, big-endian, decimal text
    Bits,      // single bits of one byte, one check box each; unlisted bits store 0
    OneHot,    // selector: position 0 stores 0, position p > 0 stores 1 << (p - 1)
    Chars,     // text of at most `chars` characters followed by NUL bytes
    SlotType,  // selector: position p stores p + 1; no selection stores 0
};

// The editor's pages, in the order of their tabs (index 3 is "Advanced").
enum class EditorPage { General = 0, Wiznet = 1, Slots = 2, Advanced = 3 };

// Characters an edit field accepts from the keyboard (pasted text is not filtered).
enum class KeyFilter { None, Decimal, Hexadecimal };

struct CheckBoxDef {
    std::string name;     // e.g. "eRADIO_r"
    std::string caption;  // e.g. "RF"
    int bit = 0;          // bit of the field's byte, 0-7
};

struct FieldDef {
    std::string name;  // editor field name ("eRepAddr"); empty for a Bits byte, whose check
                       // boxes carry the names
    FieldArea area = FieldArea::General;
    std::uint16_t offset = 0;  // first byte within the area (Slot: offset in the slot record)
    FieldEncoding encoding = FieldEncoding::Dec8;
    int chars = 0;           // Chars: the most characters the field holds (n)
    bool sharedNul = false;  // Chars: the terminator after n characters is the first byte of
                             // the next field, so the field itself occupies n bytes
    int maxLength = 0;       // editor limit on the text length; 0 = not limited
    KeyFilter filter = KeyFilter::None;
    EditorPage page = EditorPage::General;
    std::string caption;              // label, or the group box of a Bits byte
    std::string unit;                 // caption beside the field ("Hours", "Ch1", "L", ...)
    std::string tab;                  // inner tab the field sits on ("Ch1".."Ch8" of MesDirections)
    std::vector<CheckBoxDef> checks;  // Bits
    std::vector<std::string> choices;  // OneHot, SlotType: selector entries in list order
};

// Every field, in the order StoreGeneral writes them: general block, network block (table order
// matters there: eLocalIp overwrites the NUL written after eWiznetSWCombination), then the slot
// record fields.
const std::vector<FieldDef>& fieldTable();

// The field of that name, or nullptr. Bits bytes are found through their check boxes.
const FieldDef* findField(std::string_view name);

// Bytes the field occupies in its area (Chars with sharedNul: n, otherwise n + 1).
int fieldWidth(const FieldDef& field);

// True when the key filter lets c through (Backspace always does).
bool keyAccepted(KeyFilter filter, char c);

// Conversions between a field's bytes and the editor. `area` is the whole area the field lives
// in (general block, network block or one slot record); a field that does not fit in it is a
// programming error and throws std::out_of_range.

// Dec8, Hex8, Be16, Chars: the text the editor shows. A Chars text ends at its first NUL.
std::string fieldToText(const FieldDef& field, std::span<const std::uint8_t> area);
// Dec8, Hex8, Be16, Chars: stores the text by the text-to-number rule (low 8 or 16 bits), or
// for Chars: n + 1 bytes set to NUL, then at most n characters of the text.
void textToField(const FieldDef& field, std::string_view text, std::span<std::uint8_t> area);

// OneHot, SlotType: the selector position the stored byte shows; -1 = no selection.
int fieldToSelection(const FieldDef& field, std::span<const std::uint8_t> area);
// OneHot, SlotType: stores a selector position; -1 (or a position outside the list) stores 0.
void selectionToField(const FieldDef& field, int position, std::span<std::uint8_t> area);

// Bits: whether the check box's bit is set.
bool fieldBit(const FieldDef& field, const CheckBoxDef& box, std::span<const std::uint8_t> area);
// Bits: rebuilds the byte from its check boxes alone; ticked[i] belongs to field.checks[i]
// (missing entries count as not ticked) and bits without a check box become 0.
void checksToField(const FieldDef& field, const std::vector<bool>& ticked,
                   std::span<std::uint8_t> area);

}  // namespace kormlink

#pragma once

// The address mask grid of the configuration editor: one cell per repeater address 0-4095,
// drawn as 32 rows x 128 columns (address = row * 128 + column), showing the mask table bit of
// one channel at a time.
//
// A cell holds two bits: kEnabled (the address is enabled for the shown channel) and kSelected
// (part of the mouse selection waiting for Set or Clear). The operator selects a range by
// dragging over the grid; Set and Clear then apply to that selection, or, when there is none,
// to the ranges typed into an input box ("From To", several parts separated by commas).
//
// Every address taken from the mouse or from typed text is checked against the grid before a
// cell is touched, so out-of-grid numbers are ignored instead of reaching other memory.
// Not thread-safe; the editor's owner (the user-interface thread) uses it.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kormlink {

class MaskGrid {
  public:
    static constexpr int kRows = 32;
    static constexpr int kColumns = 128;
    static constexpr int kCells = kRows * kColumns;
    static constexpr std::uint8_t kSelected = 1;
    static constexpr std::uint8_t kEnabled = 2;
    // Cells are drawn 5 x 4 pixels on a 6 x 5 pixel pitch, one pixel in from the cell corner.
    static constexpr int kPitchX = 6;
    static constexpr int kPitchY = 5;

    MaskGrid();

    // The cell state (kEnabled | kSelected) of an address; 0 for an address outside the grid.
    std::uint8_t cell(int address) const;
    bool isEnabled(int address) const { return cell(address) & kEnabled; }
    bool isSelected(int address) const { return cell(address) & kSelected; }
    // Sets one cell; an address outside the grid is ignored.
    void setCell(int address, std::uint8_t state);
    int enabledCount() const;
    int selectedCount() const;

    // Every cell to 0, no selection waiting (the state of a new editor).
    void reset();

    // Loads channel k's bit (k - 1) of the mask table: a clear bit shows an enabled cell. Every
    // cell loses its selected bit. A channel outside 1-8 leaves the grid unchanged.
    void showChannel(const std::array<std::uint8_t, 4096>& mask, int channel);
    // Writes the grid back as channel k's bit: 0 for enabled cells, 1 for the others; the other
    // channels' bits are kept. A channel outside 1-8 writes nothing.
    void storeChannel(std::array<std::uint8_t, 4096>& mask, int channel) const;

    // The address under a pixel of the paint area (row = y / 5, column = x / 6), which may lie
    // outside the grid.
    static int addressAt(int x, int y);
    static bool insideGrid(int x, int y);

    // Mouse press: without Ctrl every selected bit is cleared; the drag starts at the pixel.
    void mousePress(int x, int y, bool ctrl);
    // Mouse move: inside the grid while dragging, selects the range from the anchor to the
    // pixel's address (either order) and nothing else; then updates label(). Moves outside the
    // grid are ignored.
    void mouseMove(int x, int y);
    void mouseRelease() { m_dragging = false; }
    bool dragging() const { return m_dragging; }
    int anchor() const { return m_anchor; }
    // The text of the label beside the grid: the address under the mouse while no selection is
    // waiting, otherwise the dragged range "low..high".
    const std::string& label() const { return m_label; }

    // True when a mouse selection is waiting to be applied (set by a drag, cleared by every Set
    // or Clear). Set and Clear ask for range text only when it is false.
    bool hasSelection() const { return !m_noSelection; }

    // Set (set = true) makes every selected cell enabled; Clear makes it not enabled. Either
    // way the selection is consumed.
    void applyToSelection(bool set);
    // Set or Clear of the ranges typed into the input box, e.g. "10 20,100 131". An empty or
    // unusable text changes no cell. The selection flag is consumed either way.
    void applyRangeText(std::string_view answer, bool set);

    // The ranges of an input-box answer, as typed (From, To), before any check against the grid:
    // every character other than a digit, "$" or "," counts as a blank; the text is split at
    // each ","; each part is trimmed, and a part without a blank inside is skipped; From is the
    // number before the first blank and To the trimmed rest (decimal, or hexadecimal after "$";
    // a To with more after its digits takes the digits). Parts with To below From are kept.
    static std::vector<std::pair<std::int64_t, std::int64_t>> parseRanges(std::string_view answer);

  private:
    // Cells are kept column by column, as the grid is drawn: column c, row r at 32c + r.
    static int indexOf(int address) { return (address % kColumns) * kRows + address / kColumns; }
    static bool valid(int address) { return address >= 0 && address < kCells; }

    std::array<std::uint8_t, kCells> m_cells{};
    int m_anchor = 0;
    bool m_dragging = false;
    bool m_noSelection = true;
    std::string m_label;
};

}  // namespace kormlink

#include "config_image/mask_grid.h"

#include <algorithm>

#include "config_image/cfg_image.h"

namespace kormlink {

MaskGrid::MaskGrid() { reset(); }

std::uint8_t MaskGrid::cell(int address) const {
    return valid(address) ? m_cells[static_cast<std::size_t>(indexOf(address))] : 0;
}

void MaskGrid::setCell(int address, std::uint8_t state) {
    if (valid(address)) m_cells[static_cast<std::size_t>(indexOf(address))] = state;
}

int MaskGrid::enabledCount() const {
    return static_cast<int>(
        std::count_if(m_cells.begin(), m_cells.end(), [](std::uint8_t c) { return c & kEnabled; }));
}

int MaskGrid::selectedCount() const {
    return static_cast<int>(std::count_if(m_cells.begin(), m_cells.end(),
                                          [](std::uint8_t c) { return c & kSelected; }));
}

void MaskGrid::reset() {
    m_cells.fill(0);
    m_noSelection = true;
    m_dragging = false;
}

void MaskGrid::showChannel(const std::array<std::uint8_t, 4096>& mask, int channel) {
    if (channel < 1 || channel > kChannels) return;
    const unsigned bit = 1u << (channel - 1);
    for (int a = 0; a < kCells; ++a) {
        setCell(a, (mask[static_cast<std::size_t>(a)] & bit) ? 0 : kEnabled);
    }
}

void MaskGrid::storeChannel(std::array<std::uint8_t, 4096>& mask, int channel) const {
    if (channel < 1 || channel > kChannels) return;
    const auto bit = static_cast<std::uint8_t>(1u << (channel - 1));
    for (int a = 0; a < kCells; ++a) {
        std::uint8_t& byte = mask[static_cast<std::size_t>(a)];
        byte = isEnabled(a) ? static_cast<std::uint8_t>(byte & ~bit)
                            : static_cast<std::uint8_t>(byte | bit);
    }
}

int MaskGrid::addressAt(int x, int y) { return (y / kPitchY) * kColumns + x / kPitchX; }

bool MaskGrid::insideGrid(int x, int y) {
    const int row = y / kPitchY, column = x / kPitchX;
    return row >= 0 && row < kRows && column >= 0 && column < kColumns;
}

void MaskGrid::mousePress(int x, int y, bool ctrl) {
    if (!ctrl) {
        for (std::uint8_t& c : m_cells) c &= static_cast<std::uint8_t>(~kSelected);
    }
    m_dragging = true;
    // A press outside the grid still anchors the drag there; the range is clipped when cells
    // are selected.
    m_anchor = addressAt(x, y);
}

void MaskGrid::mouseMove(int x, int y) {
    if (!insideGrid(x, y)) return;
    const int current = addressAt(x, y);
    const int low = std::min(m_anchor, current), high = std::max(m_anchor, current);
    if (m_dragging) {
        for (int a = 0; a < kCells; ++a) {
            const std::uint8_t c = cell(a);
            setCell(a, a >= low && a <= high ? (c | kSelected) : (c & ~kSelected));
        }
        m_noSelection = false;
    }
    if (m_noSelection) {
        m_label = std::to_string(current);
    } else if (m_dragging) {
        m_label = std::to_string(low) + ".." + std::to_string(high);
    }
}

void MaskGrid::applyToSelection(bool set) {
    for (std::uint8_t& c : m_cells) {
        if (c & kSelected) c = set ? kEnabled : 0;
    }
    m_noSelection = true;
}

std::vector<std::pair<std::int64_t, std::int64_t>> MaskGrid::parseRanges(std::string_view answer) {
    std::string text(answer);
    for (char& c : text) {
        if (!((c >= '0' && c <= '9') || c == '$' || c == ',')) c = ' ';
    }
    std::vector<std::pair<std::int64_t, std::int64_t>> ranges;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        std::string_view part(text.data() + start, comma - start);
        start = comma + 1;
        // Trimming first lets "10 20, 100 131" mean 10-20 and 100-131.
        const std::size_t first = part.find_first_not_of(' ');
        if (first == std::string_view::npos) continue;
        part = part.substr(first, part.find_last_not_of(' ') - first + 1);
        const std::size_t blank = part.find(' ');
        if (blank == std::string_view::npos) continue;
        std::string_view to = part.substr(blank);
        to.remove_prefix(to.find_first_not_of(' '));
        ranges.emplace_back(textToNumber(part.substr(0, blank)), textToNumber(to));
    }
    return ranges;
}

void MaskGrid::applyRangeText(std::string_view answer, bool set) {
    for (const auto& [from, to] : parseRanges(answer)) {
        if (to < from) continue;
        // Only the part of the range inside the grid is touched.
        const std::int64_t low = std::max<std::int64_t>(from, 0);
        const std::int64_t high = std::min<std::int64_t>(to, kCells - 1);
        for (std::int64_t a = low; a <= high; ++a) setCell(static_cast<int>(a), set ? kEnabled : 0);
    }
    m_noSelection = true;
}

}  // namespace kormlink

#include "config_image/mask_grid.h"

#include <gtest/gtest.h>

namespace kormlink {
namespace {

// A pixel inside the cell of an address (cells sit one pixel in from their pitch corner).
int pixelX(int address) { return (address % MaskGrid::kColumns) * MaskGrid::kPitchX + 2; }
int pixelY(int address) { return (address / MaskGrid::kColumns) * MaskGrid::kPitchY + 2; }

void drag(MaskGrid& grid, int from, int to) {
    grid.mousePress(pixelX(from), pixelY(from), false);
    grid.mouseMove(pixelX(to), pixelY(to));
    grid.mouseRelease();
}

// Addresses low..high are exactly the cells with the given bit.
void expectExactly(const MaskGrid& grid, std::uint8_t bit, int low, int high) {
    for (int a = 0; a < MaskGrid::kCells; ++a) {
        ASSERT_EQ((grid.cell(a) & bit) != 0, a >= low && a <= high) << "address " << a;
    }
}

TEST(MaskGrid, ShowsAndStoresOneChannelBit) {
    std::array<std::uint8_t, 4096> mask{};
    mask.fill(0xFF);
    mask[0] = 0xFB;    // channel 3 enabled
    mask[129] = 0x00;  // every channel enabled
    mask[4095] = 0xFB;
    MaskGrid grid;
    grid.showChannel(mask, 3);
    EXPECT_EQ(grid.enabledCount(), 3);
    EXPECT_TRUE(grid.isEnabled(0) && grid.isEnabled(129) && grid.isEnabled(4095));

    grid.setCell(0, 0);
    grid.setCell(7, MaskGrid::kEnabled);
    grid.storeChannel(mask, 3);
    EXPECT_EQ(mask[0], 0xFF);
    EXPECT_EQ(mask[7], 0xFB);
    EXPECT_EQ(mask[129], 0x00);  // other channels' bits untouched
    EXPECT_EQ(mask[4095], 0xFB);

    // Channels outside 1-8 neither read nor write.
    std::array<std::uint8_t, 4096> before = mask;
    grid.storeChannel(mask, 0);
    grid.storeChannel(mask, 9);
    EXPECT_EQ(mask, before);
    grid.showChannel(mask, 9);
    EXPECT_TRUE(grid.isEnabled(7));
}

TEST(MaskGrid, DragSelectsTheRangeInEitherDirection) {
    MaskGrid grid;
    grid.mouseMove(pixelX(77), pixelY(77));
    EXPECT_EQ(grid.label(), "77");  // no selection yet: the address under the mouse

    drag(grid, 300, 10);
    EXPECT_TRUE(grid.hasSelection());
    EXPECT_EQ(grid.label(), "10..300");
    expectExactly(grid, MaskGrid::kSelected, 10, 300);

    // After release the label keeps the range; moving outside the grid changes nothing.
    grid.mouseMove(pixelX(5), pixelY(5));
    EXPECT_EQ(grid.label(), "10..300");
    grid.mousePress(pixelX(1000), pixelY(1000), true);  // Ctrl keeps the old selection
    EXPECT_EQ(grid.selectedCount(), 291);
    grid.mouseMove(-50, 10);
    grid.mouseMove(10, 5 * 32 + 1);
    EXPECT_EQ(grid.selectedCount(), 291);
    grid.mouseMove(pixelX(1002), pixelY(1002));  // a drag selects only its own range
    expectExactly(grid, MaskGrid::kSelected, 1000, 1002);
    grid.mouseRelease();

    grid.mousePress(pixelX(0), pixelY(0), false);  // a plain press drops the selection
    EXPECT_EQ(grid.selectedCount(), 0);
    grid.mouseRelease();

    // Anchored past the grid: the drag is clipped to its last cell.
    grid.mousePress(768, 160, false);  // bottom-right pixel of the paint area, past the grid
    EXPECT_GT(grid.anchor(), MaskGrid::kCells - 1);
    grid.mouseMove(pixelX(4000), pixelY(4000));
    expectExactly(grid, MaskGrid::kSelected, 4000, 4095);
}

TEST(MaskGrid, SetAndClearApplyToTheSelectionOrToTypedRanges) {
    MaskGrid grid;
    grid.setCell(50, MaskGrid::kEnabled);
    drag(grid, 20, 40);
    grid.applyToSelection(true);
    EXPECT_FALSE(grid.hasSelection());
    EXPECT_EQ(grid.selectedCount(), 0);
    EXPECT_EQ(grid.enabledCount(), 22);
    EXPECT_TRUE(grid.isEnabled(20) && grid.isEnabled(40) && grid.isEnabled(50));

    drag(grid, 30, 60);
    grid.applyToSelection(false);
    expectExactly(grid, MaskGrid::kEnabled, 20, 29);
    EXPECT_EQ(grid.selectedCount(), 0);

    // Typed ranges: Clear takes only its ranges, and a selected cell too; a To past 32 bits must
    // not be cut to an int. Which cells a parsed range sets is checked by the fuzz target.
    grid.reset();
    grid.applyRangeText("10 20,100 131", true);
    grid.setCell(15, MaskGrid::kEnabled | MaskGrid::kSelected);
    grid.applyRangeText("15 100", false);
    EXPECT_EQ(grid.enabledCount(), 5 + 31);
    EXPECT_EQ(grid.cell(15), 0);
    grid.applyRangeText("0 4294967296", true);
    EXPECT_EQ(grid.enabledCount(), MaskGrid::kCells);
    EXPECT_EQ(grid.cell(-1), 0);
    EXPECT_EQ(grid.cell(MaskGrid::kCells), 0);
}

TEST(MaskGrid, RangeTextParsing) {
    using Ranges = std::vector<std::pair<std::int64_t, std::int64_t>>;
    const std::pair<const char*, Ranges> cases[] = {
        {"10 20,100 131", {{10, 20}, {100, 131}}}, {"10 20, 100 131", {{10, 20}, {100, 131}}},
        {"$10 $20", {{16, 32}}},   {"$10 $1F", {{16, 1}}},  // letters were blanked
        {"from 1-5;", {{1, 5}}},  // other characters blank
        {"7 3", {{7, 3}}},         {"1 2 3", {{1, 2}}},     {"5", {}}, {"", {}}, {" , ,", {}},
        // Numbers past 64 bits wrap: the first range here has a From past its To.
        {"99999999999999999999999 1", {{200376420520689663, 1}}},
        {"0 18446744073709551615", {{0, -1}}},
        {"4090 99999, 0 4294967296", {{4090, 99999}, {0, 4294967296}}},
    };
    for (const auto& [text, ranges] : cases) EXPECT_EQ(MaskGrid::parseRanges(text), ranges) << text;
}

}  // namespace
}  // namespace kormlink

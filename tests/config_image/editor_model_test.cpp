#include "config_image/editor_model.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <set>

#include "config_image/field_table.h"
#include "support/harness.h"

namespace kormlink {
namespace {

const std::string kSegQuestion = "Incorrect quantity of used segments! Continue?";
const std::string kBlackQuestion = "Incorrect quantity of used blacklists! Continue?";

// Answers from a script (Yes once it runs out) and records what was asked.
struct ScriptedQuestions : EditorQuestions {
    bool ask(const std::string& text) override {
        asked.push_back(text);
        const bool answer = answers.empty() || answers.front();
        if (!answers.empty()) answers.pop_front();
        return answer;
    }

    std::deque<bool> answers;
    std::vector<std::string> asked;
};

// Each (offset, value) pair holds in the area.
template <std::size_t N>
void expectBytes(const std::array<std::uint8_t, N>& area,
                 std::initializer_list<std::pair<int, int>> bytes) {
    for (const auto& [at, value] : bytes) EXPECT_EQ(area[at], value) << "byte " << at;
}

void presentChannels(ConfigEditor& editor, std::initializer_list<int> channels) {
    for (auto& flag : editor.image().ChannelPresent) flag = 0;
    for (int k : channels) editor.image().ChannelPresent[static_cast<std::size_t>(k - 1)] = 1;
}

class EditorTest : public ::testing::Test {
  protected:
    EditorTest() : editor(&questions) {}

    void setTexts(std::initializer_list<std::pair<const char*, std::string>> texts) {
        for (const auto& [field, text] : texts) editor.setText(field, text);
    }

    // Fills the Slots page with consistent counts: `segments` segment pairs and `blacks` black
    // list pairs, starting at pair 1.
    void fillSlotPage(int segments, int blacks, int seed) {
        for (int i = 1; i <= 16; ++i) {
            const std::string n = std::to_string(i);
            editor.setText("eSegment" + n + "L", i <= segments ? std::to_string(seed + i) : "0");
            editor.setText("eSegment" + n + "H", "0");
            editor.setText("eBlackList" + n + "L", "0");
            editor.setText("eBlackList" + n + "H", i <= blacks ? std::to_string(seed * i) : "0");
        }
        setTexts({{"eDigOfActiveSeg", std::to_string(segments)},
                  {"eDigOfActiveBlack", std::to_string(blacks)}, {"eScramblerMask", "5a"}});
        editor.setSelection("eType", seed % 4);
    }

    ScriptedQuestions questions;
    ConfigEditor editor;
};

TEST(TextToNumber, DecimalHexSignsAndMalformedTexts) {
    // The most negative 64-bit text must not overflow on negation.
    const std::tuple<const char*, std::int64_t, bool> cases[] = {
        {"  300", 300, true}, {"$1f", 31, true}, {"", 0, true},   {"-5", -5, true},
        {"12x", 12, false},   {"$", 0, false},   {"-9223372036854775808", INT64_MIN, true}};
    for (const auto& [text, value, valid] : cases) {
        bool ok = !valid;
        EXPECT_EQ(textToNumber(text, &ok), value) << text;
        EXPECT_EQ(ok, valid) << text;
    }
}

TEST(FieldTable, CoversEveryByteOfEachAreaOnce) {
    const std::pair<FieldArea, int> areas[] = {
        {FieldArea::General, 64}, {FieldArea::Network, 160}, {FieldArea::Slot, 132}};
    for (const auto& [area, size] : areas) {
        std::vector<int> owners(static_cast<std::size_t>(size), 0);
        for (const FieldDef& f : fieldTable()) {
            if (f.area != area) continue;
            for (int i = 0; i < fieldWidth(f); ++i) {
                ASSERT_LT(f.offset + i, size) << f.name;
                ++owners[static_cast<std::size_t>(f.offset + i)];
            }
        }
        for (int i = 0; i < size; ++i) EXPECT_EQ(owners[i], 1) << "byte " << i;
    }
    std::set<std::string> names;
    for (const FieldDef& f : fieldTable()) {
        if (!f.name.empty()) {
            EXPECT_TRUE(names.insert(f.name).second) << f.name;
        }
        for (const CheckBoxDef& box : f.checks) EXPECT_TRUE(names.insert(box.name).second);
    }
}

// An erased image shows all ones; its bits bytes are then rebuilt from the boxes alone.
TEST_F(EditorTest, ErasedImageShowsAllOnesAndBitsBytesComeFromTheirBoxesOnly) {
    editor.image().fill(0xFF);
    editor.image().CurrentChannel = 1;
    editor.ShowGeneral();
    editor.ShowSlot();
    const std::pair<const char*, const char*> texts[] = {
        {"eRepAddr", "255"}, {"eTxScramblerMaskSlot7", "FF"}, {"eFirmID", "FF"},
        {"eRadioAltTime", "65535"}, {"eSegment9H", "65535"}};
    for (const auto& [field, text] : texts) EXPECT_EQ(editor.text(field), text) << field;
    EXPECT_EQ(editor.text("eWiznetSWCombination").size(), 3u);
    EXPECT_EQ(editor.text("eLocalIp").size(), 15u);
    for (const FieldDef& f : fieldTable())
        for (const CheckBoxDef& box : f.checks) EXPECT_TRUE(editor.checked(box.name)) << box.name;
    EXPECT_EQ(editor.selection("eAltForWiznet"), 4);
    // No entry for 0xFF (eIpMethod: fewer entries than position 4).
    for (const char* box : {"eIpMethod", "eOperationMode", "eType"})
        EXPECT_EQ(editor.selection(box), -1) << box;
    EXPECT_EQ(editor.grid().enabledCount(), 0);

    for (const FieldDef& f : fieldTable())
        for (const CheckBoxDef& box : f.checks) editor.setChecked(box.name, false);
    for (const char* box : {"eCOM1_r", "eGSM_2", "eCheck_Dup", "eCom1_Echo", "eWiznet_Inserted"})
        editor.setChecked(box, true);
    editor.StoreGeneral();
    expectBytes(editor.image().General,
                {{0x0E, 0x04}, {0x0F, 0x00}, {0x11, 0x08}, {0x17, 0x80}, {0x24, 0x80}});
    expectBytes(editor.image().Network, {{0x00, 0x01}, {0x6E, 0x00}});  // bits 1-7 written as 0
}

TEST_F(EditorTest, NumbersStoreTheirLowBitsAndCharacterFieldsTheirWidth) {
    // eFirmID's digits are read as hexadecimal; 70000 keeps its low 16 bits, 4464 = 0x1170.
    setTexts({{"eRepAddr", "300"}, {"eNextRepAddr", ""}, {"eRadioAltTime", "70000"},
              {"eWiznetAltTime", "-1"}, {"eTxScramblerMaskSlot0", "a5"}, {"eFirmID", "12"},
              {"eDelimiterSize", "12x"}, {"eWiznetSWCombination", "ABC"},
              {"eLocalIp", "192.168.100.200"}, {"eSubnetMask", "255.255.255.0 and more"},
              {"eDomainName", std::string(40, 'd')}});
    editor.image().General.fill(0x77);
    editor.image().Network.fill(0xEE);
    editor.StoreGeneral();
    expectBytes(editor.image().General, {{0x00, 44}, {0x01, 0}, {0x2D, 0x11}, {0x2E, 0x70},
                                         {0x32, 0xFF}, {0x33, 0xFF}, {0x06, 0xA5}, {0x3F, 0x12}});
    const auto& n = editor.image().Network;
    EXPECT_EQ(n[0x61], 12);
    EXPECT_EQ(std::string(n.begin() + 1, n.begin() + 4), "ABC");
    EXPECT_EQ(std::string(n.begin() + 4, n.begin() + 0x13), "192.168.100.200");
    EXPECT_EQ(std::string(n.begin() + 0x14, n.begin() + 0x23), "255.255.255.0 a");
    // eLocalIp's first byte is no NUL of the 3-character field; each address ends in a NUL
    // (device address 0x1113), an empty eGateway is all NUL, and the 32-character domain name
    // ends at the block's last byte.
    expectBytes(n, {{0x04, '1'}, {0x13, 0}, {0x23, 0}, {0x24, 0}, {0x9F, 0}});

    editor.image().General[0x06] = 0x0A;
    editor.ShowGeneral();
    EXPECT_EQ(editor.text("eTxScramblerMaskSlot0"), "0A");
    EXPECT_EQ(editor.text("eRadioAltTime"), "4464");
    EXPECT_EQ(editor.text("eWiznetSWCombination"), "ABC");  // exactly three bytes are read
    EXPECT_EQ(editor.text("eLocalIp"), "192.168.100.200");
    EXPECT_EQ(editor.text("eDomainName"), std::string(32, 'd'));
}

TEST_F(EditorTest, OnehotSelectors) {
    const std::uint8_t stored[] = {0, 1, 2, 4, 8};
    for (int position = 0; position <= 4; ++position) {
        editor.setSelection("eAltForGsm", position);
        editor.StoreGeneral();
        EXPECT_EQ(editor.image().General[0x28], stored[position]) << position;
    }
    editor.setSelection("eAltForGsm", 7);  // not in the list: no selection
    EXPECT_EQ(editor.selection("eAltForGsm"), -1);
    editor.StoreGeneral();
    EXPECT_EQ(editor.image().General[0x28], 0);

    for (const auto& [byte, position] : {std::pair{0x0C, 4}, {0x10, 0}, {0x03, 2}, {0xF4, 3}}) {
        editor.image().General[0x26] = static_cast<std::uint8_t>(byte);
        editor.ShowGeneral();
        EXPECT_EQ(editor.selection("eAltForWiznet"), position) << byte;
    }
    editor.image().Network[0x3B] = 0x02;  // "UDP" is position 2 of eOperationMode
    editor.ShowGeneral();
    EXPECT_EQ(editor.selection("eOperationMode"), 2);
}

TEST_F(EditorTest, SlotRecordLayout) {
    editor.image().CurrentChannel = 2;
    fillSlotPage(0, 0, 0);
    setTexts({{"eSegment1L", "4660"}, {"eDigOfActiveSeg", "1"},  // eSegment1L is 0x1234
              {"eBlackList3H", "65535"}, {"eDigOfActiveBlack", "1"}});
    editor.setSelection("eType", 3);  // IP
    ASSERT_TRUE(editor.StoreSlot());
    EXPECT_TRUE(questions.asked.empty());
    const tSlotRec& rec = editor.image().Slots[1];
    expectBytes(rec,
                {{0, 4}, {1, 1}, {2, 0x12}, {3, 0x34}, {66, 1}, {67 + 8 + 2, 0xFF}, {131, 0x5A}});
    EXPECT_EQ(editor.image().Slots[0], tSlotRec{});  // other channels untouched

    editor.setSelection("eType", -1);
    ASSERT_TRUE(editor.StoreSlot());
    EXPECT_EQ(editor.image().Slots[1][0], 0);

    const std::pair<int, int> storedShown[] = {{0, 0}, {1, 0}, {4, 3}, {5, -1}};
    for (const auto& [stored, shown] : storedShown) {
        editor.image().Slots[1][0] = static_cast<std::uint8_t>(stored);
        editor.ShowSlot();
        EXPECT_EQ(editor.selection("eType"), shown) << stored;
    }
}

TEST_F(EditorTest, CountQuestions) {
    editor.image().CurrentChannel = 1;

    // Pairs are counted wherever they lie, so one filled pair 9 matches a count of 1. The empty
    // grid is written back: channel 1 is enabled nowhere.
    fillSlotPage(0, 0, 0);
    setTexts({{"eSegment9H", "1"}, {"eDigOfActiveSeg", "1"}});
    EXPECT_TRUE(editor.StoreSlot());
    EXPECT_TRUE(questions.asked.empty());
    EXPECT_EQ(editor.image().Mask[0], 0x01);

    // Wrong segment count, answered No: the record keeps the page but the mask is not written,
    // and a save stops before it writes anything.
    fillSlotPage(3, 2, 10);
    editor.setText("eDigOfActiveSeg", "4");
    editor.grid().applyRangeText("0 0", true);
    questions.answers = {false};
    test::TempDir dir;
    std::string error = "stale";
    EXPECT_FALSE(editor.saveHexFile(dir.file("a.hex"), &error));
    EXPECT_TRUE(error.empty());
    EXPECT_FALSE(dir.exists("a.hex"));
    EXPECT_EQ(questions.asked, std::vector<std::string>{kSegQuestion});
    EXPECT_EQ(editor.image().Slots[0][1], 4);
    EXPECT_EQ(editor.image().Mask[0], 0x01);  // the enabled cell 0 did not reach the table

    // Both counts wrong, Yes then No: both questions, still failure.
    questions.asked.clear();
    editor.setText("eDigOfActiveBlack", "0");
    questions.answers = {true, false};
    EXPECT_FALSE(editor.StoreSlot());
    EXPECT_EQ(questions.asked, (std::vector<std::string>{kSegQuestion, kBlackQuestion}));
    EXPECT_EQ(editor.image().Mask[0], 0x01);

    // Yes to both: the grid reaches the mask table.
    questions.asked.clear();
    questions.answers = {true, true};
    EXPECT_TRUE(editor.StoreSlot());
    EXPECT_EQ(questions.asked.size(), 2u);
    EXPECT_EQ(editor.image().Mask[0], 0x00);
    EXPECT_EQ(editor.image().Mask[1], 0x01);

    // No channel shown: nothing is checked or written.
    questions.asked.clear();
    editor.image().CurrentChannel = 0;
    EXPECT_TRUE(editor.StoreSlot());
    EXPECT_TRUE(questions.asked.empty());
}

// Saved to a file and loaded into another editor: every area comes back, and the lowest channel
// present in the other editor's repeater is shown.
TEST_F(EditorTest, SavedFileLoadsBackAndShowsTheLowestPresentChannel) {
    test::TempDir dir;
    presentChannels(editor, {1, 2, 3, 4, 5, 6, 7, 8});
    editor.image().Mask.fill(0xFF);
    setTexts({{"eRepAddr", "17"}, {"eLocalIp", "10.0.0.1"}});
    for (int k = 1; k <= 8; ++k) {
        ASSERT_TRUE(editor.selectChannel(k));
        fillSlotPage(k % 3, k % 2, k);
        editor.grid().applyRangeText(std::to_string(k) + " " + std::to_string(k * 100), true);
    }
    std::string error;
    ASSERT_TRUE(editor.saveHexFile(dir.file("a.hex"), &error)) << error;
    const std::string text = dir.read("a.hex");
    EXPECT_EQ(test::splitLines(text).size(), 271u + 8 * 11);  // no count line
    EXPECT_EQ(text.substr(text.size() - 13), ":00000001FF\r\n");

    ConfigEditor loaded;
    presentChannels(loaded, {5, 7});
    loaded.loadHexFile(dir.file("a.hex"));
    for (int k = 1; k <= 8; ++k) EXPECT_EQ(loaded.channelButtonEnabled(k), k == 5 || k == 7);
    EXPECT_EQ(loaded.image().CurrentChannel, 5);
    EXPECT_EQ(loaded.text("eSegment1L"), "6");
    EXPECT_EQ(loaded.grid().enabledCount(), 496);
    EXPECT_EQ(loaded.image().Mask, editor.image().Mask);
    EXPECT_EQ(loaded.image().General, editor.image().General);
    EXPECT_EQ(loaded.text("eLocalIp"), "10.0.0.1");

    // An unreadable file gives an erased image; with no channel present none is shown.
    presentChannels(loaded, {});
    loaded.loadHexFile(dir.file("missing.hex"));
    EXPECT_EQ(loaded.text("eBatLow"), "255");
    EXPECT_EQ(loaded.image().CurrentChannel, 0);
    EXPECT_FALSE(loaded.channelButtonEnabled(5));
    EXPECT_FALSE(loaded.selectChannel(5));
}

}  // namespace
}  // namespace kormlink

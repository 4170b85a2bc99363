#include "config_image/message_catalog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <utility>
#include <vector>

#include "support/harness.h"

namespace kormlink {
namespace {

using Calls = std::vector<std::pair<std::string, std::string>>;

// A window of the UI as TranslateForm sees it: named components, some of which take captions.
struct FakeWindow {
    std::map<std::string, bool> captioned;  // component name -> has a caption kind
    Calls calls;

    SetCaption setter() {
        return [this](const std::string& name, const std::string& caption) {
            calls.emplace_back(name, caption);
            auto it = captioned.find(name);
            return it != captioned.end() && it->second;
        };
    }
};

TEST(MessageCatalog, ReplacementsKeyedByEnglishTextInAnyCase) {
    test::TempDir dir;
    dir.write("RPT_Str.ini",
              "[Main]\r\nLoad from repeater?=wrong section\r\n"
              "[msg]\r\n"
              "LOAD FROM REPEATER?=Aus dem Repeater laden?\r\n"
              "Wait timeout exceeding!=Zeit abgelaufen!\r\n"
              "Wrong version (%1.1f)!=Falsche Version (%.2f)!\r\n"
              "Unknown text=ignored\r\n");
    MessageCatalog catalog;  // the built-in texts until a catalog is loaded
    EXPECT_EQ(catalog.formatWrongVersion(2.54), "Wrong version (2.5)!");
    catalog.load(dir.path());
    EXPECT_EQ(catalog.text(MessageId::sLoadFromRpt), "Aus dem Repeater laden?");
    EXPECT_EQ(catalog.text(MessageId::sWaitTimeout), "Zeit abgelaufen!");
    EXPECT_EQ(catalog.text(MessageId::sLeaveWith), "To leave with record?");
    EXPECT_EQ(catalog.formatWrongVersion(2.5), "Falsche Version (2.50)!");

    EXPECT_EQ(catalog.lookup("To leave with record?"), "To leave with record?");
    EXPECT_EQ(catalog.lookup("File x not found"), "File x not found");

    // Keys stay the English texts, so loading again does not chain translations, and a folder
    // without the file brings back the built-in texts.
    catalog.load(dir.path());
    EXPECT_EQ(catalog.text(MessageId::sLoadFromRpt), "Aus dem Repeater laden?");
    test::TempDir empty;
    catalog.load(empty.path());
    EXPECT_EQ(catalog.text(MessageId::sLoadFromRpt), "Load from repeater?");
}

// A replacement that does not take exactly one double is not used: the built-in text is.
TEST(MessageCatalog, WrongVersionFormatMustTakeOneDouble) {
    const std::pair<const char*, const char*> cases[] = {
        {"Version %s!", nullptr}, {"Version %d!", nullptr}, {"Version %1.1f / %1.1f", nullptr},
        {"Version", nullptr},     {"Version %*f", nullptr}, {"Version 100%", nullptr},
        {"100%% sure: %g", "100% sure: 3"}, {"%+08.3f", "+003.000"}};
    test::TempDir dir;
    for (const auto& [format, expected] : cases) {
        dir.write("RPT_Str.ini", std::string("[Msg]\nWrong version (%1.1f)!=") + format + "\n");
        MessageCatalog catalog;
        catalog.load(dir.path());
        EXPECT_EQ(catalog.formatWrongVersion(3.0), expected ? expected : "Wrong version (3.0)!")
            << format;
    }
}

// Without a file, or without a key of its own, the window's caption is emptied; otherwise the
// window's key is set first, then every key of its section in file order. The file is read at
// every call, so a window created again sees the edited file.
TEST(MessageCatalog, TranslateFormSetsWindowThenEachKeyInFileOrder) {
    test::TempDir dir;
    MessageCatalog catalog;
    catalog.load(dir.path());
    FakeWindow missing;
    missing.captioned = {{"FRPTs", true}};
    EXPECT_EQ(catalog.translateForm("FRPTs", missing.setter()), 1);
    EXPECT_EQ(missing.calls, (Calls{{"FRPTs", ""}}));

    dir.write("RPT_Str.ini",
              "[FRPTs]\nBStart=Go\n[progdlg]\r\nBitBtn3=Mark\r\ncbType=Combo\r\nNoSuchControl=x\r\n"
              "ProgDlg=Editor\r\nLabel1=\"  Quoted  \"\r\nBitBtn3=second entry\r\n"
              "[FCmd]\r\nLabel1=other window\r\n");
    FakeWindow noOwnKey;
    catalog.translateForm("FRPTs", noOwnKey.setter());
    EXPECT_EQ(noOwnKey.calls, (Calls{{"FRPTs", ""}, {"BStart", "Go"}}));
    FakeWindow window;
    window.captioned = {{"ProgDlg", true}, {"BitBtn3", true}, {"Label1", true}, {"cbType", false}};
    EXPECT_EQ(catalog.translateForm("ProgDlg", window.setter()), 4);
    EXPECT_EQ(window.calls, (Calls{{"ProgDlg", "Editor"}, {"BitBtn3", "Mark"}, {"cbType", "Combo"},
                                   {"NoSuchControl", "x"}, {"Label1", "  Quoted  "},
                                   {"BitBtn3", "Mark"}}));
}

TEST(MessageCatalog, ProcessWideCatalogReadableWhileLoading) {
    test::TempDir dir;
    dir.write("RPT_Str.ini", "[Msg]\nWait timeout exceeding!=Zeit!\n[Fdbg]\nFdbg=Trace\n");
    LoadMessages(dir.path());
    EXPECT_EQ(message(MessageId::sWaitTimeout), "Zeit!");
    EXPECT_EQ(messageCatalog().lookup("Wait timeout exceeding!"), "Zeit!");
    FakeWindow window;
    TranslateForm("Fdbg", window.setter());
    EXPECT_EQ(window.calls, (Calls{{"Fdbg", "Trace"}}));

    // Readers on other threads see one whole text or the other, never a torn one.
    test::TempDir empty;
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&] {
            while (!stop) {
                const std::string text = message(MessageId::sWaitTimeout);
                if (text != "Zeit!" && text != "Wait timeout exceeding!") ++bad;
            }
        });
    }
    for (int i = 0; i < 200; ++i) LoadMessages(i % 2 ? dir.path() : empty.path());
    stop = true;
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(bad, 0);
    LoadMessages(empty.path());
    EXPECT_EQ(message(MessageId::sWaitTimeout), "Wait timeout exceeding!");
}

}  // namespace
}  // namespace kormlink

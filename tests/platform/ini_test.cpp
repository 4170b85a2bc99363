#include "platform/ini.h"

#include <gtest/gtest.h>

#include "support/harness.h"

namespace kormlink {
namespace {

TEST(Ini, IntegersThatAreNoNumbersReadAsTheDefaultAndBooleansAreAnyNonZeroInteger) {
    IniFile ini = IniFile::parse(
        "[S]\nempty=\ntext=abc\ntrailing=12abc\nhex=$1F\nhuge=99999999999\nneg=-15\n"
        "spaced=  42  \nplus=+7\nfloat=1.5\nzero=0\n");
    const std::pair<const char*, int> integers[] = {
        {"empty", 5}, {"text", 5},  {"trailing", 5}, {"hex", 5},   {"huge", 5},
        {"float", 5}, {"neg", -15}, {"spaced", 42},  {"plus", 7},
    };
    for (const auto& [key, value] : integers) EXPECT_EQ(ini.readInteger("S", key, 5), value) << key;
    EXPECT_TRUE(ini.readBool("S", "plus", false));
    EXPECT_TRUE(ini.readBool("S", "neg", false));
    EXPECT_FALSE(ini.readBool("S", "zero", true));
    EXPECT_TRUE(ini.readBool("S", "text", true));  // no number: the default
    EXPECT_FALSE(ini.readBool("S", "text", false));
}

TEST(Ini, LookUpIgnoresCaseButKeepsNamesAndOrder) {
    IniFile ini = IniFile::parse(
        "; comment\n[client1]\nId=lower\n[Client_north]\nID=north\nflt1=a\nFlt0=b\n"
        "[CLIENT2]\n[Commands]\nz=first\na=second\nm=third\n");
    EXPECT_EQ(ini.sectionNames(),
              (std::vector<std::string>{"client1", "Client_north", "CLIENT2", "Commands"}));
    EXPECT_EQ(ini.readString("CLIENT_NORTH", "id", ""), "north");
    EXPECT_EQ(ini.entries("commands"), (std::vector<std::pair<std::string, std::string>>{
                                           {"z", "first"}, {"a", "second"}, {"m", "third"}}));
    // Names as written: prefix tests stay case-sensitive.
    EXPECT_EQ(ini.entries("Client_north")[1].first, "flt1");
}

TEST(Ini, FirstSectionAndFirstKeyWinAndValuesAreCleaned) {
    IniFile ini = IniFile::parse(
        "\xEF\xBB\xBF[A]\r\nk = one \r\nk=two\r\n q=\"quoted  \"\r\n s='x'\r\n"
        "  ;k=comment\r\nnoequals\r\n[A]\r\nk=three\r\nother=\xE9t\xE9\r\n");
    EXPECT_EQ(ini.readString("A", "k", ""), "one");
    EXPECT_EQ(ini.readString("A", "q", ""), "quoted  ");
    EXPECT_EQ(ini.readString("A", "s", ""), "x");
    EXPECT_FALSE(ini.value("A", "other"));  // only in the second [A]
    EXPECT_EQ(ini.sectionNames().size(), 2u);

    // Written back, every value reads as itself: a CR before trailing blanks is a blank too,
    // and values with blanks at an end or with outer quotes are written quoted.
    IniFile odd = IniFile::parse("\xEF\xBB\xBF\xEF\xBB\xBF [B]\nPort=950\r \n");
    EXPECT_EQ(odd.readString("B", "Port", ""), "950");
    for (const std::string value : {"950", " lead", "trail\t", "\"quoted\"", "'single'", "a\"b"}) {
        odd.writeString("B", "Port", value);
        EXPECT_EQ(IniFile::parse(odd.render()).readString("B", "Port", ""), value);
    }
}

TEST(Ini, WritingKeepsEverythingElseAndReplacesTheFileAtomically) {
    test::TempDir dir;
    const IniFile absent = IniFile::load(dir.file("absent.ini"));  // reads every default
    EXPECT_TRUE(absent.sectionNames().empty());
    EXPECT_EQ(absent.readInteger("In", "Port", 910), 910);
    EXPECT_EQ(absent.readString("Opt", "LifeTime", "4:00"), "4:00");
    EXPECT_TRUE(absent.readBool("Out", "ComOn", true));

    const std::string original =
        "; operator's notes\r\n[In]\r\nPort=910\r\n\r\n[Client0]\r\nId=A1\r\nFlt0=1;2\r\n\r\n"
        "[Opt]\r\nLifeTime=4:00 ; four hours\r\n";
    dir.write("k.ini", original);
    IniFile ini = IniFile::load(dir.file("k.ini"));
    ini.writeInteger("in", "PORT", 911);        // existing key, operator's spelling kept
    ini.writeString("In", "SyncP", "30");       // new key at the end of its section
    ini.writeBool("Out", "ComOn", true);        // new section at the end
    ini.eraseSection("Client0");
    ASSERT_TRUE(ini.save(dir.file("k.ini")));
    EXPECT_FALSE(dir.exists("k.ini.new"));
    EXPECT_EQ(dir.read("k.ini"),
              "; operator's notes\r\n[In]\r\nPort=911\r\nSyncP=30\r\n\r\n"
              "[Opt]\r\nLifeTime=4:00 ; four hours\r\n[Out]\r\nComOn=1\r\n");
}

}  // namespace
}  // namespace kormlink

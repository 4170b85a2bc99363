#include "settings/settings_model.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/harness.h"

namespace kormlink {
namespace {

// A file as an operator keeps it: comments, blank lines, other sections between the channels.
const std::string kHead =
    "; Kormlink relay\n[In]\nPort=910\nSyncP=90\n\n"
    "[Out]\n; the serial output\nCom=3\nBaud=19200\nComOn=1\nDataBits=7\nParity=2\nStopBits=1\n"
    "FlowCtrl=0\nMode=1\nPort=950\nSyncP=120\n\n";
const std::string kSock = "; socket tuning\n[Sock]\nCmdDelay=900\n\n";
const std::string kTail =
    "[ComIn]\nCom=0\nBaud=\nDataBits=8\nParity=0\nStopBits=2\nFlowCtrl=1\n[Options]\nTestTime=7\n";
const std::string kClient0 = "[Client0]\nId=North\nQSize=200\nFlt0=1;500;$0A;$05;1\n";
const std::string kClient1 =
    "[Client1]\nId=South\nQSize=50\nFlt0=100;200;$12;$03;0\n"
    "Flt1=0;65535;$02;$FF;0\n";
const std::string kCom = "[Com]\nQSize=30\nFlt0=7;7;$01;$80;1\n";

SettingsForm formOf(const IniFile& ini, std::vector<int> ports = {}) {
    return readSettingsForm(ini, ports, 7 * 60'000, ini.readBool("Out", "ComOn", false));
}

IniFile applied(IniFile ini, const SettingsForm& form) {
    writeChannelSections(ini, form);
    writeRemainingKeys(ini, form);
    return ini;
}

TEST(SettingsModel, ChannelsAreRewrittenInOrderAndEditsAsTheServerReadsThem) {
    const IniFile ini =
        IniFile::parse(kHead + kClient0 + kSock + kClient1 + "\n" + kCom + "\n" + kTail);
    const SettingsForm form = formOf(ini);  // no port exists: COM3 is listed all the same
    EXPECT_EQ(settingsProblem(form), std::nullopt);
    // The channel sections stand together where the first one stood, in list order and
    // numbering; the comment above the next section stays with it.
    const IniFile once = applied(ini, form);
    EXPECT_EQ(once.render(),
              kHead + kClient0 + "\n" + kClient1 + "\n" + kCom + kSock + "\n" + kTail);
    // A second OK without changes leaves the file as it is.
    SettingsForm edited = formOf(once);
    EXPECT_EQ(applied(once, edited).render(), once.render());
    edited.serialQSize = "0";
    edited.outSync = "00:00";  // switches the clients' time sync off
    edited.testTime = "0";
    edited.comOn = false;
    const IniFile out = applied(once, edited);
    EXPECT_EQ(out.value("Com", "QSize"), "10");
    EXPECT_EQ(out.value("Com", "Id"), std::nullopt);
    EXPECT_EQ(out.value("Out", "SyncP"), "0");
    EXPECT_EQ(out.value("Options", "TestTime"), "1");
    EXPECT_EQ(out.value("Out", "ComOn"), "0");
}

// The port boxes' entries and selections, as "outPorts > selected | inPorts > selected".
std::string portBoxes(const SettingsForm& f) {
    std::string text;
    for (const auto& e : f.outPorts) text += e + " ";
    text += "> " + f.out.port + " |";
    for (const auto& e : f.inPorts) text += " " + e;
    return text + " > " + f.in.port;
}

TEST(SettingsModel, OpeningFallsBackToDefaultsAndKeepsWhatNoBoxCanShow) {
    const std::tuple<const char*, std::vector<int>, const char*> cases[] = {
        {"", {2, 5}, "COM1 COM2 COM5 > COM1 | COM0 COM2 COM5 > COM0"},
        {"[Out]\nCom=abc\n[ComIn]\nCom=7\n",
         {2, 5},
         "COM2 COM5 > COM2 | COM0 COM2 COM5 COM7 > COM7"},
        {"[Out]\nCom=100\n[ComIn]\nCom=-1\n", {}, "COM1 > COM1 | COM0 > COM0"},
    };
    for (const auto& [ini, ports, boxes] : cases)
        EXPECT_EQ(portBoxes(formOf(IniFile::parse(ini), ports)), boxes) << ini;
    const SettingsForm d = formOf(IniFile{});
    EXPECT_EQ(std::tie(d.out.baud, d.out.dataIndex, d.inSync, d.inPort, d.outPort, d.testTime),
              std::make_tuple(std::string("9600"), 4, std::string("01:00"), std::string("910"),
                              std::string("950"), std::string("7")));

    // A baud rate or data bits no box holds stays in the file as it is.
    const IniFile odd = IniFile::parse("[Out]\nBaud=14400\nDataBits=9\nMode=2\n");
    EXPECT_EQ(formOf(odd).page, 0);
    const auto out = applied(odd, formOf(odd)).entries("Out");
    EXPECT_EQ(decltype(out)(out.begin(), out.begin() + 3),
              decltype(out)({{"Baud", "14400"}, {"DataBits", "9"}, {"Mode", "2"}}));
}

TEST(SettingsModel, FieldConversions) {
    const std::pair<const char*, std::optional<int>> syncs[] = {
        {"01:30", 90}, {"00:00", 0},  {"23:59", 1439}, {"1_:30", 90}, {" 7:05", 425}, {"99:59", 5999},
        {"12:60", {}}, {"__:__", {}}, {"12:3_", {}},   {"1230", {}},  {"ab:cd", {}}};
    for (const auto& [text, minutes] : syncs) EXPECT_EQ(parseSyncTime(text), minutes) << text;

    const std::pair<const char*, std::optional<std::int32_t>> sizes[] = {
        {"3", 10}, {"0", 10}, {"", 10}, {"-5", 10}, {"250", 250}, {"x", {}}, {"99999999999", {}}};
    for (const auto& [text, size] : sizes) EXPECT_EQ(parseQueueSize(text), size) << text;

    const tFItem f = filterFromFields("1fA", "70000", "12x", 0b10000001, false);
    EXPECT_EQ(filterRow(f), (std::array<std::string, 5>{"FA", "4464", "12", "10000001", "Off"}));
    EXPECT_EQ(filterFromFields("", "", "", 0, true).IdTo, 0);
}

TEST(SettingsModel, SerialPortsAreListedWhenTheirDeviceIsATerminal) {
    const test::PtyReceiver terminal;
    const test::TempDir dir;
    dir.write("plain", "x");
    const IniFile ini =
        IniFile::parse("[Ports]\nCOM3=" + terminal.path() + "\nCOM4=" + dir.file("missing") +
                       "\nCOM5=" + dir.file("plain") + "\n");
    std::vector<int> mapped;
    for (int n : existingSerialPorts(ini))
        if (n >= 3 && n <= 5) mapped.push_back(n);  // the machine may have ports of its own
    EXPECT_EQ(mapped, std::vector<int>{3});
}

}  // namespace
}  // namespace kormlink

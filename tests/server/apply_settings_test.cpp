#include "server/apply_settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

#include "monitor_sim.h"
#include "repeater_sim.h"
#include "server/server.h"
#include "sim_line.h"
#include "support/harness.h"

namespace kormlink {
namespace {

using test::ServerHarness;

TEST(ApplySettings, RefusedSettingsLeaveTheFileAndTheServerAlone) {
    ServerHarness h("[In]\nPort=0\n[Out]\nPort=0\n[Client0]\nId=A\n[ComIn]\nCom=0\n");
    SettingsForm valid =
        readSettingsForm(IniFile::load(h.dir().file("Kormlink.ini")), {}, 7 * 60'000, false);
    valid.inPort = "1910";
    valid.outPort = " 1950 ";
    ASSERT_EQ(settingsProblem(valid), std::nullopt);

    struct Case {
        const char* caption;
        std::function<void(SettingsForm&)> change;
    };
    const Case cases[] = {
        {"Sync time (hh:mm)", [](SettingsForm& f) { f.inSync = "12:60"; }},
        {"Sync time (hh:mm)", [](SettingsForm& f) { f.outSync = "__:__"; }},
        {"Port", [](SettingsForm& f) { f.inPort = "0"; }},
        {"Port", [](SettingsForm& f) { f.outPort = "65536"; }},
        {"Port", [](SettingsForm& f) { f.inPort = "abc"; }},
        {"Port", [](SettingsForm& f) { f.inPort = "1950"; }},
        {"Port", [](SettingsForm& f) { f.in.port = ""; }},
        {"TestTime (min)", [](SettingsForm& f) { f.testTime = "35001"; }},
        {"Size of queue", [](SettingsForm& f) { f.serialQSize = "many"; }},
        {"channel 2", [](SettingsForm& f) { f.channels.emplace_back("a/b"); }},
        {"channel 1", [](SettingsForm& f) { f.channels[0].Id = ""; }},
        {"channel 1", [](SettingsForm& f) { f.channels[0].Id = std::string("a\0b", 3); }},
        // The file trims blanks and drops enclosing quotes: these would come back as other Ids.
        {"channel 1", [](SettingsForm& f) { f.channels[0].Id = "a\t"; }},
        {"channel 1", [](SettingsForm& f) { f.channels[0].Id = "'a'"; }},
        {"channel 1", [](SettingsForm& f) { f.channels[0].Id = "a\nb"; }},
    };
    const std::string before = h.dir().read("Kormlink.ini");
    for (const auto& c : cases) {
        SettingsForm form = valid;
        c.change(form);
        EXPECT_NE(settingsProblem(form).value_or("").find(c.caption), std::string::npos)
            << c.caption;
        std::string error;
        EXPECT_FALSE(h.onMain([&](Server& s) { return applySettings(s, form, &error); }));
        EXPECT_FALSE(error.empty());
    }
    EXPECT_EQ(h.dir().read("Kormlink.ini"), before);
    EXPECT_TRUE(h.onMain([](Server& s) { return s.isRunning(); }));

    // A file that is there but cannot be read is never replaced by the dialog's keys alone.
    std::filesystem::remove(h.dir().file("Kormlink.ini"));
    std::filesystem::create_directory(h.dir().file("Kormlink.ini"));
    EXPECT_FALSE(h.onMain([&](Server& s) { return applySettings(s, valid, nullptr); }));
    EXPECT_TRUE(h.onMain([](Server& s) { return s.isRunning(); }));
}

// The "<Id> <seq>" lines the simulators write.
std::set<std::string> readEvents(const std::string& path) {
    std::set<std::string> keys;
    std::ifstream in(path);
    for (std::string id, seq; in >> id >> seq;) keys.insert(id + " " + seq);
    return keys;
}

TEST(ApplySettings, NoAcknowledgedLineIsLostWhenOkRestartsTheServer) {
    // Fixed ports, found free, so the simulators find the server again after each restart.
    const std::uint16_t in = test::freePort();
    std::uint16_t out = test::freePort();
    while (out == in) out = test::freePort();
    ServerHarness h("[In]\nPort=" + std::to_string(in) + "\n[Out]\nPort=" + std::to_string(out) +
                    "\n[Client0]\nId=A\nQSize=100000\n[ComIn]\nCom=0\n[Sock]\nACKDelay=0\n");

    sim::RepeaterSimOptions ro;
    ro.port = h.port();
    ro.repeaters = 3;
    ro.rate = 40;
    ro.count = 60;
    ro.ackedFile = h.dir().file("acked");
    sim::RepeaterSim repeaters(ro);
    sim::MonitorOptions mo;
    mo.port = h.outPort();
    mo.channel = "A";
    mo.mode = sim::AnswerMode::Delay;  // slower than the repeaters: restarts find lines queued
    mo.delayMs = 15;
    mo.deliveredPath = h.dir().file("delivered");
    sim::MonitorSim monitor(mo);
    ASSERT_TRUE(repeaters.start(nullptr));
    ASSERT_TRUE(monitor.start(nullptr));

    for (std::uint64_t round = 1; round <= 3; ++round) {
        ASSERT_TRUE(test::eventually(
            [&] {
                return repeaters.counters().acked >= round * 30 && monitor.snapshot().events > 0;
            },
            10'000));
        std::string error;
        ASSERT_TRUE(h.onMain([&](Server& s) {
            EXPECT_FALSE(s.channels()->at(0).Queue.empty());
            const SettingsForm form =
                readSettingsForm(IniFile::load(s.iniPath()), {}, s.TestTimeMs, s.ComOn);
            return applySettings(s, form, &error);
        })) << error;
    }
    ASSERT_TRUE(test::eventually([&] { return repeaters.done(); }, 20'000));
    repeaters.stop();
    EXPECT_GE(repeaters.counters().reconnects, 3u);
    monitor.stop();

    // Whatever is not delivered yet must still be queued.
    std::set<std::string> kept = readEvents(mo.deliveredPath);
    h.onMain([&](Server& s) {
        for (const auto& line : s.channels()->at(0).Queue)
            if (auto e = sim::parseEvent(line.text))
                kept.insert(sim::detail::hex(e->repeaterId, 6) + " " + std::to_string(e->seq));
    });
    const std::set<std::string> acked = readEvents(ro.ackedFile);
    EXPECT_EQ(acked.size(), 180u);
    std::string lost;  // each acknowledged line found nowhere
    for (const std::string& key : acked)
        if (kept.count(key) == 0) lost += key + ", ";
    EXPECT_EQ(lost, "");
}

}  // namespace
}  // namespace kormlink

// The queue journals: what an unfinished run leaves is read back exactly, whatever moment it
// ended at.

#include "output/queue_journal.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "output/channels.h"
#include "support/harness.h"

namespace kormlink {
namespace {

using test::queueTexts;

const LocalTime kNow{2026, 12, 6, 12, 0, 0};

std::string event(unsigned n) {
    test::EventSpec e;
    e.stamp = "2026/12/06 11:59:00";
    e.transmitter = test::hex3(n);
    return e.build();
}

TEST(JournalFile, ATornOrDamagedLastRecordIsDroppedNeverReadAsALine) {
    const std::string body = std::string(kJournalHeader) + journalAddRecord(1, "first") +
                             journalAddRecord(2, "second") + journalRemoveRecord(1);
    const std::string last = journalAddRecord(3, "third line");
    {
        JournalContent whole = readJournal(body + last);
        EXPECT_EQ(whole.lines, (std::vector<std::string>{"second", "third line"}));
        EXPECT_EQ(whole.droppedBytes, 0u);
    }
    // Every cut inside the last record, as a crash in the middle of its write leaves it.
    for (std::size_t cut = 1; cut < last.size(); ++cut) {
        JournalContent torn = readJournal(body + last.substr(0, cut));
        ASSERT_EQ(torn.lines, std::vector<std::string>{"second"}) << "cut at " << cut;
        EXPECT_EQ(torn.droppedBytes, cut);
    }
    // Any changed byte of the last record: length, checksum, type, number or text.
    for (std::size_t at = 0; at < last.size(); ++at) {
        std::string damaged = last;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x20);
        JournalContent read = readJournal(body + damaged);
        ASSERT_EQ(read.lines, std::vector<std::string>{"second"}) << "byte " << at;
    }
    EXPECT_TRUE(readJournal("KLQJNL9\n" + journalAddRecord(1, "x")).badHeader);
    EXPECT_TRUE(readJournal("").badHeader);
}

class Recovery : public ::testing::Test {
protected:
    static constexpr const char* kIni = "[Client0]\nId=A\nQSize=100\n[Client1]\nId=B\n";
    std::unique_ptr<tOList> build(const test::TempDir& in) {
        return std::make_unique<tOList>(IniFile::parse(kIni), in.path(), false, &sync);
    }
    // What a kill at this moment leaves: the files as they are now, in another folder.
    static std::unique_ptr<test::TempDir> crashCopy(const test::TempDir& from) {
        auto copy = std::make_unique<test::TempDir>();
        for (const char* name : {"A.jnl", "B.jnl", "A.out"})
            if (from.exists(name)) copy->write(name, from.read(name));
        return copy;
    }
    JournalSync sync;
    test::TempDir dir;
};

// A run that is killed after routing and removing lines, before and after its journal was
// compacted or cut back, comes back with exactly the lines still queued.
TEST_F(Recovery, AKilledRunComesBackWithExactlyItsQueuedLines) {
    struct Case {
        const char* what;
        int routed;   // distinct lines into channel A (QSize 100: the oldest fall out)
        int removed;  // then delivered from the head
    } cases[] = {
        {"a few lines, one delivered", 5, 1},
        {"overflow, before any compaction", 300, 20},
        {"after compactions", 4000, 60},
        {"emptied, journal cut back", 2000, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir fresh;
        auto list = build(fresh);
        for (int i = 0; i < c.routed; ++i) {
            std::string line = event(static_cast<unsigned>(i));
            list->RouteEvent(line, true, kNow);
        }
        for (int i = 0; i < c.removed; ++i) list->RemoveLine("A", list->FetchHead("A").seq);
        list->afterBatch();  // the end of the batch writes what it collected
        const std::vector<std::string> expected = queueTexts(list->at(0));
        const auto size = std::filesystem::file_size(fresh.file("A.jnl"));
        EXPECT_LE(size, kJournalHeader.size() + 4 * expected.size() * 100 + 64 * 1024 + 100);

        auto copy = crashCopy(fresh);
        auto recovered = build(*copy);
        EXPECT_EQ(queueTexts(recovered->at(0)), expected);
        EXPECT_TRUE(recovered->journalsHealthy());
        list.reset();  // dropped without SaveQueues: the files stay as a kill leaves them
    }
}

TEST_F(Recovery, AJournalWinsOverAQueueFileAndAnOrderlyStopLeavesOnlyTheQueueFile) {
    const std::string a = event(1), b = event(2), stale = event(3);
    dir.write("A.jnl", std::string(kJournalHeader) + journalAddRecord(7, a) +
                           journalAddRecord(8, b) + journalRemoveRecord(7));
    // A queue file beside a journal: the run stopped between writing it and removing the
    // journal, or it is older than the journal. Either way the journal holds the truth.
    dir.write("A.out", stale + "\r\n");
    auto list = build(dir);
    EXPECT_EQ(queueTexts(list->at(0)), std::vector<std::string>{b});
    EXPECT_FALSE(dir.exists("A.out"));

    // Killed now, the lines come back from the rewritten journal.
    auto copy = crashCopy(dir);
    EXPECT_EQ(queueTexts(build(*copy)->at(0)), std::vector<std::string>{b});

    EXPECT_EQ(list->SaveQueues(), 0);
    EXPECT_EQ(dir.read("A.out"), b + "\r\n");
    EXPECT_FALSE(dir.exists("A.jnl"));
    EXPECT_FALSE(dir.exists("B.jnl"));
    EXPECT_FALSE(dir.exists("B.out"));

    // The next start takes the queue file over into a new journal and deletes it; a blank line
    // in it must not block the channel.
    dir.write("A.out", dir.read("A.out") + "\r\n");
    auto again = build(dir);
    EXPECT_EQ(queueTexts(again->at(0)), std::vector<std::string>{b});
    EXPECT_FALSE(dir.exists("A.out"));
    EXPECT_TRUE(dir.exists("A.jnl"));
}

// A journal that is not one, or cannot be read, is set aside under a name of its own and
// never written over; the queue file is used instead.
TEST_F(Recovery, AJournalThatCannotBeUsedIsSetAsideNeverOverwritten) {
    const std::string a = event(1);
    dir.write("A.jnl.bad", "set aside earlier");
    dir.write("A.jnl", "not a journal");
    dir.write("A.out", a + "\r\n");
    testing::internal::CaptureStderr();
    auto list = build(dir);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("no queue journal"), std::string::npos) << err;
    EXPECT_EQ(queueTexts(list->at(0)), std::vector<std::string>{a});
    EXPECT_EQ(dir.read("A.jnl.bad"), "set aside earlier");
    EXPECT_EQ(dir.read("A.jnl.bad1"), "not a journal");
    EXPECT_TRUE(list->journalsHealthy());
    list.reset();

    test::TempDir other;
    std::filesystem::create_directory(other.file("A.jnl"));  // opens, but reads fail
    other.write("A.jnl/keep", "x");
    testing::internal::CaptureStderr();
    auto again = build(other);
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("cannot be read"), std::string::npos) << err;
    EXPECT_EQ(other.read("A.jnl.bad/keep"), "x");
    EXPECT_TRUE(again->journalsHealthy());
}

}  // namespace
}  // namespace kormlink

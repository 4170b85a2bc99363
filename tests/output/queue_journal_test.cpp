// The queue journals: what an unfinished run leaves is read back exactly, whatever moment it
// ended at.

#include "output/queue_journal.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "output/channels.h"
#include "platform/file_io.h"
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
    // Any changed byte of the last record: length, checksum, type, number or text. The same
    // damage in the middle costs only that record: the ones after it are read.
    const std::string after = journalAddRecord(4, "fourth") + journalRemoveRecord(2);
    for (std::size_t at = 0; at < last.size(); ++at) {
        std::string damaged = last;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x20);
        ASSERT_EQ(readJournal(body + damaged).lines, std::vector<std::string>{"second"}) << at;
        JournalContent read = readJournal(body + damaged + after);
        ASSERT_EQ(read.lines, std::vector<std::string>{"fourth"}) << "byte " << at;
        EXPECT_EQ(read.damagedPlaces, 1u);
        EXPECT_EQ(read.droppedBytes, 0u);
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
    for (const char* gone : {"A.jnl", "B.jnl", "B.out"}) EXPECT_FALSE(dir.exists(gone)) << gone;

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
    again.reset();

    // Damaged in the middle: kept as found, and every line around the damage recovered.
    test::TempDir third;
    const std::string damaged = std::string(kJournalHeader) + journalAddRecord(1, a) + "\xff\xff" +
                                journalAddRecord(2, event(2));
    third.write("A.jnl", damaged);
    testing::internal::CaptureStderr();
    auto recovered = build(third);
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("damaged in 1 place(s): 2 byte(s) passed over"), std::string::npos) << err;
    EXPECT_EQ(queueTexts(recovered->at(0)), (std::vector<std::string>{a, event(2)}));
    EXPECT_EQ(third.read("A.jnl.bad"), damaged);
    EXPECT_EQ(readJournal(third.read("A.jnl")).lines.size(), 2u);
    EXPECT_EQ(recovered->damagedJournals(), 1u);
}

// Read in pieces of any size, a journal gives what it gives whole; only live lines are held.
TEST(JournalFile, ReadInPiecesAsWhole) {
    std::string file(kJournalHeader);
    for (std::uint64_t seq = 1; seq <= 3000; ++seq) {
        file += journalAddRecord(seq, event(static_cast<unsigned>(seq)));
        if (seq % 3 != 0) file += journalRemoveRecord(seq);
        if (seq == 1500) file += "garbage in the middle";
    }
    file += journalAddRecord(9999, "torn").substr(0, 10);
    const JournalContent whole = readJournal(file);
    EXPECT_EQ(whole.lines.size(), 1000u);
    EXPECT_EQ(whole.damagedPlaces, 1u);
    EXPECT_EQ(whole.droppedBytes, 10u);
    for (std::size_t piece : {1, 7, 4096, 100000}) {
        JournalReader reader;
        for (std::size_t at = 0; at < file.size(); at += piece)
            reader.feed(std::string_view(file).substr(at, piece));
        const JournalContent read = reader.finish();
        EXPECT_EQ(read.lines, whole.lines) << piece;
        EXPECT_EQ(read.skippedBytes, whole.skippedBytes) << piece;
        EXPECT_EQ(read.droppedBytes, whole.droppedBytes) << piece;
    }
}

// Channels that share an Id share a journal, and each gets its own lines back after a kill;
// queue files and journals that no channel owns are reported and left alone.
TEST(SharedRecovery, EachChannelGetsItsOwnLinesAndStrandedFilesAreKept) {
    const IniFile ini = IniFile::parse(
        "[Client0]\nId=A\nFlt0=0;255;1;255;0\n[Client1]\nId=A\nQSize=5\nFlt0=256;4095;1;255;0\n");
    test::TempDir dir;
    JournalSync sync;
    {
        tOList list(ini, dir.path(), false, &sync);
        for (unsigned tx : {0x10u, 0x11u, 0x12u, 0x110u, 0x111u, 0x112u, 0x113u}) {
            std::string line = event(tx);
            list.RouteEvent(line, true, kNow);
        }
        list.afterBatch();
    }  // killed: no SaveQueues
    dir.write("Old.out", event(1) + "\r\n" + event(2) + "\r\n");
    const std::string gone = std::string(kJournalHeader) + journalAddRecord(1, event(3));
    dir.write("Gone.jnl", gone);
    testing::internal::CaptureStderr();
    tOList list(ini, dir.path(), false, &sync);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(list.at(0).Queue.size(), 3u);
    EXPECT_EQ(list.at(1).Queue.size(), 4u);
    std::string line = event(0x114);
    list.RouteEvent(line, true, kNow);
    EXPECT_EQ(list.at(1).Dropped.overflow, 0u);

    ASSERT_EQ(list.strandedFiles().size(), 2u);
    EXPECT_EQ(list.strandedFiles()[0].name + " " + std::to_string(list.strandedFiles()[0].lines) +
                  " " + std::to_string(list.strandedFiles()[1].lines),
              "Gone.jnl 1 2");
    EXPECT_NE(err.find("Old.out holds 2 queued line(s) of no configured channel"),
              std::string::npos) << err;
    EXPECT_EQ(dir.read("Gone.jnl"), gone);
}

// A journal that breaks, or is unusable from the start, withholds the answers of its own
// channel only, in both durability modes; its lines are answered again once it can be written.
TEST_F(Recovery, OneBrokenJournalWithholdsOnlyItsOwnChannelsAnswers) {
    for (bool fsync : {false, true}) {
        SCOPED_TRACE(fsync ? "fsync" : "no fsync");
        test::TempDir fresh;
        fresh.write("B.jnl", "not a journal, and it cannot be moved away");
        sync.setFsyncMode(fsync);
        OffsetClock clock;
        testing::internal::CaptureStderr();
        // Every open and rename of B's journal fails: it can neither be set aside nor written.
        fileio::setFaultHook([](fileio::Op, int, const char* path, const void*, std::size_t) {
            return path && std::strstr(path, "B.jnl") ? EIO : 0;
        });
        tOList list(IniFile::parse("[Client0]\nId=A\nFlt0=0;255;1;255;0\n"
                                   "[Client1]\nId=B\nFlt0=256;4095;1;255;0\n"),
                    fresh.path(), false, &sync);
        list.setClock(clock);
        // Routes a line from transmitter tx in a batch of its own; true when it is answered.
        auto answered = [&](unsigned tx) {
            std::string line = event(tx);
            list.RouteEvent(line, true, kNow);
            const bool kept = list.lastRouteKept();
            const std::uint64_t from = list.lastRouteFrom(), mask = list.lastRouteJournals();
            const std::uint64_t ticket = sync.written();
            list.afterBatch();
            clock.advance(tOList::kJournalRetryMs);
            return kept && sync.await(from, ticket, mask, 0, nullptr);
        };
        for (unsigned i = 0; i < 3; ++i) {
            EXPECT_TRUE(answered(0x010 + i)) << i;
            EXPECT_FALSE(answered(0x110 + i)) << i;
        }
        fileio::setFaultHook(nullptr);
        EXPECT_TRUE(answered(0x120));  // the retry before routing sets the old file aside
        EXPECT_TRUE(answered(0x121));
        EXPECT_TRUE(answered(0x020));
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("keeps its lines again"), std::string::npos) << err;
        EXPECT_EQ(fresh.read("B.jnl.bad"), "not a journal, and it cannot be moved away");
        // Every line routed to B while it was broken is in its journal now.
        EXPECT_EQ(readJournal(fresh.read("B.jnl")).lines.size(), 5u);
    }
}

}  // namespace
}  // namespace kormlink

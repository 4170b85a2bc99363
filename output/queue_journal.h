#pragma once

// The journal of a channel queue, "<Id>.jnl" beside the queue file "<Id>.out".
//
// While the server runs, every line a channel takes and every line that leaves it (delivered,
// expired or pushed out by overflow) is appended to the journal as one record, and the answer
// to the repeater line that carried an event leaves only after its record was written (and,
// in the fsync mode, synced). Records are collected during a batch of main-thread hand-overs
// and written with one write at its end (flush), before any answer to them leaves. So a queue survives the process being killed at any moment:
// the next start finds the journal and rebuilds the queue from it. An orderly stop writes the
// queue file as before and removes the journal, so a journal found at start-up always means
// the last run did not stop in order, and it wins over a queue file.
//
// File layout: an 8-byte header "KLQJNL1\n", then records, each
//     u32 payload length | u32 CRC-32 of the payload | payload      (little-endian)
// with the payload 'A' + u64 sequence number + line text (a line taken), or 'R' + u64
// sequence number (that line left the queue). A record cut short by a crash, or one whose
// checksum does not match, ends the journal: it and everything after it are dropped, never
// read as a line.
//
// Compaction rewrites the journal with just the live lines (temporary file, rename) once it
// has grown past a few times the live lines, so it stays within a small multiple of the
// queue; a journal whose queue has emptied is simply cut back to its header.
//
// A write that fails (disk full, folder gone) leaves the journal unhealthy: it takes no more
// records, and the owner retries a full rewrite until one succeeds. While any journal is
// unhealthy the server answers no event lines, so it never acknowledges what it cannot keep.
//
// Main thread only, except JournalSync, whose waiting side is for any thread.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/unique_fd.h"

namespace kormlink {

std::uint32_t crc32(std::string_view data);

inline constexpr std::string_view kJournalHeader = "KLQJNL1\n";
std::string journalFileName(const std::string& id);

// One record, framed; for writers and for tests that build journals by hand.
std::string journalAddRecord(std::uint64_t seq, std::string_view text);
std::string journalRemoveRecord(std::uint64_t seq);

// What a journal file holds: the lines still queued at its end, oldest first.
struct JournalContent {
    std::vector<std::string> lines;
    std::size_t records = 0;       // whole, valid records read
    std::size_t droppedBytes = 0;  // a torn or corrupt tail that was cut off
    bool badHeader = false;        // not a journal at all: nothing was read
};
JournalContent readJournal(std::string_view file);

// Counts the journal records and which of them are written (in the fsync mode: on disk).
// Connections check here before they answer; the main thread writes, and in the fsync mode
// syncs, once per batch of hand-overs (group commit) and publishes how far that reached.
class JournalSync {
public:
    // Any thread.
    bool fsyncMode() const { return m_fsync.load(); }
    std::uint64_t written() const { return m_written.load(); }
    std::uint64_t writeCount() const { return m_writeCount.load(); }
    std::uint64_t syncCount() const { return m_syncCount.load(); }

    // Main thread.
    void setFsyncMode(bool on) { m_fsync = on; }
    void noteWrite() {
        ++m_written;
        ++m_writeCount;
    }
    void noteSync() { ++m_syncCount; }
    // Every write up to upTo has been synced (ok) or its sync failed (!ok).
    void publish(std::uint64_t upTo, bool ok);

    // Any thread: true once the records up to ticket are as durable as the mode asks: written
    // when fsync is off, else synced. False when that write or sync failed or nothing covered
    // them within the time. nudge is called while waiting, so that the main thread runs a
    // batch (and its write) even when it has nothing else to do.
    bool await(std::uint64_t ticket, Millis timeoutMs, const std::function<void()>& nudge);

private:
    std::atomic<bool> m_fsync{false};
    std::atomic<std::uint64_t> m_durableFast{0};  // m_durable, for a check without the lock
    std::atomic<std::uint64_t> m_written{0};
    std::atomic<std::uint64_t> m_writeCount{0};
    std::atomic<std::uint64_t> m_syncCount{0};
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::uint64_t m_durable = 0;       // guarded by m_mutex
    std::uint64_t m_failedUpTo = 0;    // the end of the latest sync round that failed
};

class QueueJournal {
public:
    struct Line {
        std::uint64_t seq;
        std::string_view text;
    };

    // Compaction when the file is larger than this many times the live lines' records, plus
    // a floor so a small queue is not rewritten every few lines.
    static constexpr std::size_t kCompactFactor = 4;
    static constexpr std::size_t kCompactFloorBytes = 64 * 1024;

    QueueJournal(std::string path, JournalSync& sync);
    ~QueueJournal();
    QueueJournal(const QueueJournal&) = delete;
    QueueJournal& operator=(const QueueJournal&) = delete;

    const std::string& path() const { return m_path; }

    // Replaces the file with a journal of exactly these lines: a temporary file renamed over
    // it, synced when the fsync mode is on or durable is set. Appends go to the new file. On
    // failure the journal is unhealthy and error says why; the old file stays as it was.
    bool rewrite(const std::vector<Line>& lines, bool durable, std::string* error);

    // A line was taken / left the queue: its record is collected for the next flush().
    // Nothing is kept while the journal is unhealthy.
    void added(std::uint64_t seq, std::string_view text);
    void removed(std::uint64_t seq, std::size_t textBytes);
    // Writes the collected records; false when that failed (the journal is then unhealthy).
    bool flush();

    bool healthy() const { return m_healthy; }
    const std::string& lastError() const { return m_error; }
    bool needsCompaction() const;
    // Cuts an emptied journal back to its header; false when it cannot (then rewrite).
    bool truncateEmpty();
    std::size_t liveLines() const { return m_liveLines; }
    // The file's size once the collected records are written.
    std::size_t fileBytes() const { return m_fileBytes + m_unwritten.size(); }

    // Syncs the file when a line was added since the last sync; false when the sync failed
    // (the journal is then unhealthy). Removals alone wait for the next sync: a removal lost
    // with the machine's power only means a line is delivered once more.
    bool dirty() const { return m_addedSinceSync; }
    bool sync();

    // Orderly stop: closes the file and removes it.
    void remove();

private:
    void append(char type, std::uint64_t seq, std::string_view text);
    void fail(const std::string& what, int err);

    std::string m_path;
    JournalSync& m_sync;
    UniqueFd m_fd;
    bool m_healthy = false;
    bool m_addedSinceSync = false;
    std::string m_error;
    std::size_t m_fileBytes = 0;  // written to the file
    std::string m_unwritten;      // records collected since the last flush
    std::size_t m_liveLines = 0;
    std::size_t m_liveBytes = 0;  // the records of the live lines, as a rewrite would write them
};

}  // namespace kormlink

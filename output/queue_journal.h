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
// with the payload 'A' + u64 sequence number + line text (a line taken), 'B' + u64 sequence
// number + u16 member + line text (a line taken by the member-th of the channels that share the
// Id, counted from 0), or 'R' + u64 sequence number (that line left the queue). A record cut short by a crash at the end is
// dropped, never read as a line. A record damaged in the middle (a bad sector, a stray write)
// is passed over up to the next valid record; the journal is then set aside as it was found
// and a new one written from what was read.
//
// Compaction rewrites the journal with just the live lines (temporary file, rename) once it
// has grown past a few times the live lines, so it stays within a small multiple of the
// queue; a journal whose queue has emptied is simply cut back to its header.
//
// A write that fails (disk full, folder gone) leaves the journal unhealthy: it takes no more
// records, and the owner retries a full rewrite until one succeeds. While a journal is
// unhealthy the server answers no event line that its channel took, so it never acknowledges
// what it cannot keep; the other channels' lines are answered as usual.
//
// Main thread only, except JournalSync, whose waiting side is for any thread.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
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
std::string journalAddRecord(std::uint64_t seq, std::string_view text, std::uint16_t member = 0);
std::string journalRemoveRecord(std::uint64_t seq);

// What a journal file holds: the lines still queued at its end, oldest first.
struct JournalContent {
    std::vector<std::string> lines;
    // For each line, the place of its channel among the channels sharing the journal's Id.
    std::vector<std::uint16_t> members;
    std::size_t records = 0;         // whole, valid records read
    std::size_t droppedBytes = 0;    // a torn or corrupt tail that was cut off
    // Damage between intact records: the bytes passed over until the next valid record, and
    // in how many places. The records after a damaged place are read as usual.
    std::size_t skippedBytes = 0;
    std::size_t damagedPlaces = 0;
    bool badHeader = false;          // not a journal at all: nothing was read
};

// Reads a journal given piece by piece, holding only the records of lines still queued (and
// at most one record's worth of unread bytes), so a long journal needs no more memory than its
// queue. A record whose frame or checksum does not match is passed over byte by byte until a
// valid record follows: damage in the middle costs only the records inside it.
class JournalReader {
public:
    JournalReader();
    ~JournalReader();
    void feed(std::string_view bytes);
    JournalContent finish();

private:
    struct Lines;
    void scan(bool final);

    std::string m_pending;
    std::size_t m_pos = 0;
    bool m_headerRead = false;
    bool m_inDamage = false;
    std::size_t m_consumed = 0;     // bytes read and let go from the front of m_pending
    std::size_t m_damageStart = 0;  // where the damage began, counted from the file's start
    std::unique_ptr<Lines> m_lines;
    JournalContent m_content;
};

JournalContent readJournal(std::string_view file);
// The journal file read in pieces; nullopt when it cannot be opened or read.
std::optional<JournalContent> readJournalFile(const std::string& path);

// Counts the journal records and which of them are written (in the fsync mode: on disk).
// Connections check here before they answer; the main thread writes, and in the fsync mode
// syncs, once per batch of hand-overs (group commit) and publishes how far that reached.
//
// Each journal has a bit in a 64-bit mask (journals beyond 64 share bits, which can only
// withhold more answers, never fewer). A batch whose write or sync failed in some journals is
// remembered with their mask, so an answer is withheld only when its lines went to one of the
// journals that failed: one broken channel does not stop the others' answers.
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
    // Every write up to upTo has been written (and in the fsync mode synced), except those
    // of the journals in failed, whose records since the last publish are not kept.
    void publish(std::uint64_t upTo, std::uint64_t failed);

    // Any thread: true once the records from..ticket of the journals in mask are as durable as
    // the mode asks: written when fsync is off, else synced. False when a write or sync of one
    // of those journals failed in that span, or nothing covered them within the time. nudge is
    // called while waiting, so that the main thread runs a batch (and its write) even when it
    // has nothing else to do.
    bool await(std::uint64_t from, std::uint64_t ticket, std::uint64_t mask, Millis timeoutMs,
               const std::function<void()>& nudge);

    // Failed batches remembered; older ones count as failed for every journal.
    static constexpr std::size_t kFailuresKept = 256;

private:
    struct Failure {
        std::uint64_t from, to, mask;  // the records (from, to] of the journals in mask
    };
    bool keptLocked(std::uint64_t from, std::uint64_t ticket, std::uint64_t mask) const;

    std::atomic<bool> m_fsync{false};
    std::atomic<std::uint64_t> m_durableFast{0};  // m_durable, for a check without the lock
    std::atomic<bool> m_anyFailure{false};
    std::atomic<std::uint64_t> m_written{0};
    std::atomic<std::uint64_t> m_writeCount{0};
    std::atomic<std::uint64_t> m_syncCount{0};
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::uint64_t m_durable = 0;        // guarded by m_mutex, as are the two below
    std::deque<Failure> m_failures;
    std::uint64_t m_failedBelow = 0;    // the end of the newest failure no longer remembered
};

class QueueJournal {
public:
    struct Line {
        std::uint64_t seq;
        std::string_view text;
        std::uint16_t member = 0;  // the channel's place among those sharing the Id
    };

    // Compaction when the file is larger than this many times the live lines' records, plus
    // a floor so a small queue is not rewritten every few lines.
    static constexpr std::size_t kCompactFactor = 4;
    static constexpr std::size_t kCompactFloorBytes = 64 * 1024;

    // bit: the journal's bit in the masks of JournalSync.
    QueueJournal(std::string path, JournalSync& sync, std::uint64_t bit = 1);
    ~QueueJournal();
    QueueJournal(const QueueJournal&) = delete;
    QueueJournal& operator=(const QueueJournal&) = delete;

    const std::string& path() const { return m_path; }
    std::uint64_t bit() const { return m_bit; }

    // Replaces the file with a journal of exactly these lines: a temporary file renamed over
    // it, synced when the fsync mode is on or durable is set. Appends go to the new file. On
    // failure the journal is unhealthy and error says why; the old file stays as it was, and
    // the records collected for it are not written (the next flush reports that).
    bool rewrite(const std::vector<Line>& lines, bool durable, std::string* error);

    // A line was taken / left the queue: its record is collected for the next flush().
    // Nothing is kept while the journal is unhealthy.
    void added(std::uint64_t seq, std::string_view text, std::uint16_t member = 0);
    void removed(std::uint64_t seq, std::size_t textBytes);
    // Writes the collected records; false when that failed, or when records collected since
    // the last flush were lost to a failure in between (the journal is then unhealthy).
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
    std::uint64_t m_bit;
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

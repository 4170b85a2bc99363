#pragma once

// Output channels: named, bounded store-and-forward queues with filters.
//
// Every event line a repeater delivers is offered to every channel (RouteEvent); a channel
// keeps the lines its filters accept, oldest first, until its consumer (a monitoring client of
// the output server, or the serial output for the first channel) has delivered them and had
// them acknowledged. A full queue drops its oldest line, never the new one. Queues outlive a
// restart in one file per channel, "<Id>.out" in the data folder, read (and deleted) when the
// channel list is built and written when it is disposed of. While the server runs, each queue
// is also kept in its journal "<Id>.jnl" (output/queue_journal.h), so that it survives the
// process being killed; the journal is read back instead of the queue file after such an end.
//
// Threads: the channel list and its queues are touched on the main thread only; consumers
// reach them through the main-thread hand-over. A consumer waiting for lines is told by the
// channel when a line is queued (ChannelSignal), instead of asking the main thread in a loop.
// Connected, too, is written on the main thread only, by the TCP clients as they attach and
// leave and by the serial output as its receiver answers or falls silent.

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "output/queue_journal.h"
#include "platform/clock.h"
#include "platform/ini.h"
#include "platform/local_time.h"

namespace kormlink {

// One filter of a channel.
struct tFItem {
    std::uint16_t IdFrom = 0;    // lowest transmitter Id that passes
    std::uint16_t IdTo = 0;      // highest transmitter Id that passes (inclusive)
    std::uint8_t SysNr = 0;      // system number the filter applies to
    std::uint8_t SlotMask = 0;   // bit n: slot n passes
    bool RptOn = false;          // repeater events of this system pass
};
using tFList = std::vector<tFItem>;

// "IdFrom;IdTo;SysNr;SlotMask;RptOn": fields split at each ";" from the left, the last taking
// the rest; the first four decimal, or hexadecimal after "$", cut to their width (anything else,
// or a missing field, reads as 0); RptOn only when the fifth field is exactly "1".
tFItem parseFilter(std::string_view value);
// The form the settings dialog writes: "%d;%d;$%2.2X;$%2.2X;%d" (hexadecimal in capitals).
std::string formatFilter(const tFItem& filter);

// What routing reads from an event line.
struct EventKey {
    std::uint32_t transmitterId = 0;  // positions 41-43
    bool repeaterEvent = false;       // kind (position 44, low three bits) is 0
    std::uint8_t slotMask = 0;        // 1 << slot digit; 0 for digits 8, 9 and non-digits
    int systemNumber = 0;             // position 4, or the Id's first two digits when that is 0
};
// nullopt when the line is not routable: no "COM", shorter than 62 characters, no ":" at
// positions 30 and 33, or transmitter Id or kind not hexadecimal.
std::optional<EventKey> decodeEvent(std::string_view line);

// Overwrites the time stamp (positions 17-35) with `now` when its date is more than one day
// from today's, or is no valid date. Returns true when it rewrote the stamp.
bool refreshTimeStamp(std::string& line, const LocalTime& now);

// A channel without filters takes everything; otherwise the first filter that passes decides.
bool MatchChannel(const tFList& filters, const EventKey& event);

// The lifetime test: alive when now minus the lifetime is earlier than the line's stamp. A
// stamp that does not parse strictly, or is no valid date and time, is not alive.
bool IsAlive(std::string_view line, double lifetimeDays, const LocalTime& now);

// "h:mm" or "h:mm:ss" as a fraction of a day; nullopt when it is no time of day.
std::optional<double> parseTimeOfDay(std::string_view text);
inline constexpr double kDefaultLifeTimeDays = 4.0 / 24.0;
// Opt/LifeTime as a fraction of a day: "4:00" when absent or zero. A text that is no time also
// gives "4:00" and sets *invalid, so the caller can report it.
double readLifeTime(const IniFile& ini, bool* invalid = nullptr);

// Tells the consumers of a channel when a line is queued. Main thread only.
class ChannelSignal {
public:
    // A consumer waiting for lines. lineQueued() runs on the main thread, inside the routing
    // of an event, so it must neither wait nor throw: it only passes the news on (a client on
    // an event loop posts it to its loop).
    class Listener {
    public:
        virtual void lineQueued() noexcept = 0;

    protected:
        ~Listener() = default;
    };
    void subscribe(Listener* listener) { m_listeners.push_back(listener); }
    void unsubscribe(Listener* listener);
    void notify() const;

private:
    std::vector<Listener*> m_listeners;
};

struct QueuedLine {
    std::uint64_t seq;  // unique within the channel list: names the line for its removal
    std::string text;
};

// One output channel.
class tOItem {
public:
    // Builds the channel from its INI section ("Com" is the serial channel). Its queue is
    // filled by the channel list, from the queue file or the journal.
    tOItem(const std::string& section, const IniFile& ini);

    std::string Id;
    // Attached clients, the serial output's answering receiver counting as one. Wide enough
    // for every client the server admits.
    std::atomic<std::uint32_t> Connected{0};
    std::int32_t QSize = 50;
    tFList Filters;
    std::deque<QueuedLine> Queue;            // front is the head, the oldest line
    ChannelSignal Signal;                    // consumers waiting for lines
    // The journal of the queue file; channels sharing an Id share it, each line tagged with
    // the channel's place among them (JournalMember, 0 for the first). nullptr: not kept.
    std::shared_ptr<QueueJournal> Journal;
    std::uint16_t JournalMember = 0;

    // Lines the channel lost, by cause, since the start (main thread): pushed out of a full
    // queue, outlived LifeTime before they were sent, or not queued as a repeat of the last
    // line.
    struct Drops {
        std::uint64_t overflow = 0, lifetime = 0, duplicate = 0;
    };
    Drops Dropped;
    std::uint64_t Routed = 0;     // lines queued by routing
    std::uint64_t Delivered = 0;  // lines removed after a consumer's answer
    // What reportDrops() has told so far, and when it last did.
    Drops Reported;
    std::int64_t ReportedAt = 0;
    bool EverReported = false;
};

// The channel list.
class tOList {
public:
    // The serial channel "Com" first when comOn, then one channel per section whose name
    // begins with "Client", in file order. The first channel of each Id takes over what the
    // last run left: its journal when there is one (the run did not stop in order), else its
    // queue file. With a JournalSync every queue is journaled from then on, and the queue file
    // is deleted once the new journal holds its lines; without one, the queue file is deleted
    // once read and the queues live in memory until SaveQueues.
    tOList(const IniFile& ini, const std::string& dataDir, bool comOn,
           JournalSync* sync = nullptr);
    ~tOList();

    // Offers the line to every channel; may rewrite its time stamp in place. The duplicate test
    // (against each queue's last line) applies to lines from TCP repeaters.
    void RouteEvent(std::string& line, bool duplicateTest, const LocalTime& now);

    struct Head {
        std::string text;  // empty: no such channel, or its queue is empty
        std::uint64_t seq = 0;
    };
    // The head of the first channel with that Id (compared exactly).
    Head FetchHead(std::string_view id) const;
    Head FetchHead(std::size_t index) const;
    // Up to max lines from the head of the first channel with that Id, oldest first; reuses
    // the storage of what out held.
    void FetchHeads(std::string_view id, std::size_t max, std::vector<Head>& out) const;
    // Removes the line `seq` from the first channel with that Id if it is still queued, and
    // nothing else: overflow or another consumer may have moved the head since it was fetched.
    // expired: the line outlived LifeTime unsent, and counts as dropped.
    bool RemoveLine(std::string_view id, std::uint64_t seq, bool expired = false);
    bool RemoveLine(std::size_t index, std::uint64_t seq, bool expired = false);

    tOItem* find(std::string_view id);
    std::size_t size() const { return m_channels.size(); }
    tOItem& at(std::size_t i) { return *m_channels.at(i); }
    const tOItem& at(std::size_t i) const { return *m_channels.at(i); }

    // Writes every queue file and empties the list. Channels sharing an Id share one file
    // with the lines of each in channel order. A file that cannot be written is reported on
    // stderr with the channel and its line count; the others are still written. The journal
    // of a queue is removed once its queue file is written, and kept when that failed, so the
    // next start still finds the lines. Returns the number of files that failed.
    int SaveQueues();

    // True while every journal takes its records; false from a failed write until a rewrite
    // of that journal succeeded.
    bool journalsHealthy() const;
    // Whether the line of the last RouteEvent is kept: every channel whose filters took it
    // (or dropped it as a repeat of its last line) has a healthy journal. Its answer must not
    // leave otherwise.
    bool lastRouteKept() const { return m_lastRouteKept; }
    // The journals (their JournalSync bits) the last RouteEvent wrote to or counted on, and the
    // JournalSync count before it: what its answer waits for.
    std::uint64_t lastRouteJournals() const { return m_lastRouteJournals; }
    std::uint64_t lastRouteFrom() const { return m_lastRouteFrom; }
    // Journals found damaged in the middle at start-up (read around the damage, set aside).
    std::size_t damagedJournals() const { return m_damagedJournals; }
    // Queue files and journals in the data folder that no channel owns (a channel removed or
    // renamed): found at start-up, reported, kept as they are and not read.
    struct StrandedFile {
        std::string name;
        std::size_t lines = 0;
    };
    const std::vector<StrandedFile>& strandedFiles() const { return m_stranded; }
    // The clock of the journal retries and the drop reports; a test moves it forward.
    void setClock(const Clock& clock) { m_clock = &clock; }
    // Retries the rewrite of unhealthy journals (at most every kJournalRetryMs) and reports a
    // journal that failed or recovered, once per change, on stderr.
    void maintainJournals();
    // After a batch of hand-overs: maintenance, and in the fsync mode one sync of every
    // journal written since the last one, published to the waiting connections.
    void afterBatch();
    static constexpr Millis kJournalRetryMs = 500;
    // Says on stderr which channels dropped lines (queue full, LifeTime): at once after a quiet
    // minute, then at most once a minute per channel with the count since the last report.
    // Changes nothing in the queues.
    void reportDrops(Millis now);
    static constexpr Millis kDropReportMs = 60'000;

private:
    struct JournalSlot {
        std::string id;
        std::shared_ptr<QueueJournal> journal;
        bool reportedFailure = false;
        // A journal found at start-up that could not be used and not be set aside: it is never
        // written over, so the channel's lines are not answered until a later try moves it.
        bool blocked = false;
        const char* blockedWhy = "";
        bool loadQueueFileOnUnblock = false;  // its lines were not read: use the queue file
        // The queue file the journal took over is still there, to be removed once the journal
        // holds its lines.
        bool staleQueueFile = false;
    };
    void takeOverQueue(tOItem& channel);
    // Moves an unusable journal aside under a name of its own; false (the slot blocked) when
    // it cannot. queueFileInstead: the journal's lines were not read.
    bool setAside(JournalSlot& slot, const char* why, bool queueFileInstead);
    // The queue file's lines, in front of the channel's queue.
    void loadQueueFile(JournalSlot& slot);
    void writeTakenOver(JournalSlot& slot);
    // The recovered lines, each into the channel of its member place (the first channel when
    // that one is gone from the configuration).
    void distribute(const std::string& id, const JournalContent& content);
    void findStrandedFiles();
    std::vector<QueueJournal::Line> liveLines(const QueueJournal* journal) const;
    void compact(JournalSlot& slot);
    void compactJournalOf(const tOItem& channel);
    void pushLine(tOItem& channel, std::string text);
    void popHead(tOItem& channel);
    bool removeFrom(tOItem& channel, std::uint64_t seq, bool expired);
    void reportJournals();
    void removeStaleQueueFile(JournalSlot& slot);

    std::string m_dataDir;
    JournalSync* m_sync = nullptr;
    const Clock* m_clock;
    std::vector<std::unique_ptr<tOItem>> m_channels;
    std::vector<JournalSlot> m_journals;
    std::uint64_t m_nextSeq = 0;
    Millis m_lastRetry = 0;
    double m_lifetimeDays = 0;  // [Opt] LifeTime, for the drop reports
    bool m_anyDrops = false;    // something dropped since the last reportDrops()
    bool m_anyUnhealthy = false;
    bool m_lastRouteKept = true;
    std::uint64_t m_lastRouteJournals = 0;
    std::uint64_t m_lastRouteFrom = 0;
    std::size_t m_damagedJournals = 0;
    std::vector<StrandedFile> m_stranded;
};

// The queue file of a channel Id.
std::string queueFileName(const std::string& id);

}  // namespace kormlink

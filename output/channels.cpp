#include "output/channels.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/file_io.h"
#include "platform/files.h"
#include "core/event_line.h"
#include "platform/console_output.h"

namespace kormlink {
namespace {

// Decimal, or hexadecimal after "$"; anything else (an empty field included) is 0.
std::uint32_t filterNumber(std::string_view text) {
    int base = 10;
    if (!text.empty() && text.front() == '$') {
        base = 16;
        text.remove_prefix(1);
    }
    bool negative = false;
    if (base == 10 && !text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return 0;
    auto v = static_cast<std::uint32_t>(value);
    return negative ? 0u - v : v;  // two's complement, then cut to the field's width
}

// Strict decimal of exactly the given characters.
std::optional<int> digitsAt(std::string_view s, std::size_t pos1, std::size_t len) {
    if (s.size() < pos1 - 1 + len) return std::nullopt;
    int value = 0;
    for (char c : s.substr(pos1 - 1, len)) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

bool isLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

bool isValidDate(int y, int m, int d) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1) return false;
    return d <= days[m - 1] + (m == 2 && isLeapYear(y) ? 1 : 0);
}

// The stamp of a line as a date-time number; nullopt when any part is no valid number.
std::optional<double> stampNumber(std::string_view line) {
    auto y = digitsAt(line, 17, 4), mo = digitsAt(line, 22, 2), d = digitsAt(line, 25, 2);
    auto h = digitsAt(line, 28, 2), mi = digitsAt(line, 31, 2), s = digitsAt(line, 34, 2);
    if (!y || !mo || !d || !h || !mi || !s) return std::nullopt;
    if (!isValidDate(*y, *mo, *d) || *h > 23 || *mi > 59 || *s > 59) return std::nullopt;
    return dateTimeNumber({*y, *mo, *d, *h, *mi, *s});
}

bool sameDuplicateFields(const std::string& a, const std::string& b) {
    auto part = [](const std::string& s, std::size_t pos1, std::size_t len) {
        return pos1 - 1 < s.size() ? std::string_view(s).substr(pos1 - 1, len) : std::string_view{};
    };
    return part(a, 11, 1) == part(b, 11, 1) && part(a, 41, 22) == part(b, 41, 22) &&
           part(a, 69, 2) == part(b, 69, 2);
}

}  // namespace

tFItem parseFilter(std::string_view value) {
    std::string_view fields[5];
    for (int i = 0; i < 5; ++i) {
        if (i == 4) {
            fields[i] = value;
            break;
        }
        std::size_t semi = value.find(';');
        fields[i] = value.substr(0, semi);
        if (semi == std::string_view::npos) break;
        value.remove_prefix(semi + 1);
    }
    tFItem f;
    f.IdFrom = static_cast<std::uint16_t>(filterNumber(fields[0]));
    f.IdTo = static_cast<std::uint16_t>(filterNumber(fields[1]));
    f.SysNr = static_cast<std::uint8_t>(filterNumber(fields[2]));
    f.SlotMask = static_cast<std::uint8_t>(filterNumber(fields[3]));
    f.RptOn = fields[4] == "1";
    return f;
}

std::string formatFilter(const tFItem& f) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%d;%d;$%2.2X;$%2.2X;%d", f.IdFrom, f.IdTo, f.SysNr, f.SlotMask,
                  f.RptOn ? 1 : 0);
    return buf;
}

std::optional<EventKey> decodeEvent(std::string_view line) {
    if (!startsWith(line, "COM") || line.size() < 62 || line[29] != ':' || line[32] != ':')
        return std::nullopt;
    const std::string_view s = trimLine(line);
    EventKey key;
    auto id = hexAt(s, 41, 3);
    auto kind = hexAt(s, 44, 1);
    if (!id || !kind) return std::nullopt;
    key.transmitterId = *id;
    key.repeaterEvent = (*kind & 7) == 0;

    // The slot digit follows the first "Slot"; without one, position 4 stands in for it.
    char slot = s[3];
    if (std::size_t at = s.find("Slot"); at != std::string_view::npos)
        slot = at + 4 < s.size() ? s[at + 4] : '\0';
    const int n = slot - '0';
    key.slotMask = (n >= 0 && n < 8) ? static_cast<std::uint8_t>(1u << n) : 0;

    key.systemNumber = s[3] - '0';
    if (key.systemNumber == 0) {
        std::size_t blank = s.rfind(' ');
        std::string_view word = blank == std::string_view::npos ? s : s.substr(blank + 1);
        if (word.size() == 6)
            key.systemNumber = static_cast<int>(parseHex(word.substr(0, 2)).value_or(0));
    }
    return key;
}

bool refreshTimeStamp(std::string& line, const LocalTime& now) {
    const std::string_view s = trimLine(line);
    auto y = digitsAt(s, 17, 4), m = digitsAt(s, 22, 2), d = digitsAt(s, 25, 2);
    double day = 0;  // no valid date counts as 30 December 1899
    if (y && m && d && isValidDate(*y, *m, *d)) day = dateTimeNumber({*y, *m, *d, 0, 0, 0});
    const double today = dateTimeNumber({now.year, now.month, now.day, 0, 0, 0});
    if (std::fabs(day - today) <= 1.0) return false;
    if (line.size() < kTimeStampPos - 1 + kTimeStampLen) return false;
    line.replace(kTimeStampPos - 1, kTimeStampLen, formatTimeStamp(now));
    return true;
}

bool MatchChannel(const tFList& filters, const EventKey& e) {
    if (filters.empty()) return true;
    for (const tFItem& f : filters) {
        if (f.SysNr != e.systemNumber) continue;
        if (e.repeaterEvent) {
            if (f.RptOn) return true;
        } else if (f.IdFrom <= e.transmitterId && e.transmitterId <= f.IdTo &&
                   (f.SlotMask & e.slotMask) != 0) {
            return true;
        }
    }
    return false;
}

bool IsAlive(std::string_view line, double lifetimeDays, const LocalTime& now) {
    auto stamp = stampNumber(line);
    if (!stamp) return false;
    return dateTimeNumber(now) - lifetimeDays < *stamp;
}

std::optional<double> parseTimeOfDay(std::string_view text) {
    text = trimLine(text);
    int parts[3] = {0, 0, 0};
    int count = 0;
    while (count < 3) {
        std::size_t colon = text.find(':');
        std::string_view part = text.substr(0, colon);
        int value = 0;
        auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
        if (part.empty() || part.size() > 2 || ec != std::errc() ||
            end != part.data() + part.size())
            return std::nullopt;
        parts[count++] = value;
        if (colon == std::string_view::npos) break;
        text.remove_prefix(colon + 1);
        if (count == 3) return std::nullopt;  // a fourth part
    }
    if (count < 2 || parts[0] > 23 || parts[1] > 59 || parts[2] > 59) return std::nullopt;
    return (parts[0] * 3600.0 + parts[1] * 60.0 + parts[2]) / 86400.0;
}

double readLifeTime(const IniFile& ini, bool* invalid) {
    if (invalid) *invalid = false;
    auto text = ini.value("Opt", "LifeTime");
    if (!text) return kDefaultLifeTimeDays;
    auto days = parseTimeOfDay(*text);
    if (!days) {
        if (invalid) *invalid = true;
        return kDefaultLifeTimeDays;
    }
    return *days > 0 ? *days : kDefaultLifeTimeDays;
}

void ChannelSignal::unsubscribe(Listener* listener) {
    m_listeners.erase(std::remove(m_listeners.begin(), m_listeners.end(), listener),
                      m_listeners.end());
}

void ChannelSignal::notify() const {
    for (Listener* listener : m_listeners) listener->lineQueued();
}

std::string queueFileName(const std::string& id) { return id + ".out"; }

tOItem::tOItem(const std::string& section, const IniFile& ini) {
    const bool serial = section == "Com";
    Id = serial ? "Com" : ini.readString(section, "Id", "");
    for (const auto& [key, value] : ini.entries(section)) {
        if (key == "QSize") {
            QSize = parseDecimal32(value).value_or(50);
        } else if (key.rfind("Flt", 0) == 0) {
            Filters.push_back(parseFilter(value));
        }
    }
}

namespace {

// A name that is no plain file name in the data folder is never opened.
bool isFileName(const std::string& id) {
    return id.find('/') == std::string::npos && id.find('\0') == std::string::npos;
}

// The lines of a queue file: one per text line, CR LF or LF ended.
std::vector<std::string> queueFileLines(const std::string& content) {
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < content.size()) {
        std::size_t lf = content.find('\n', pos);
        std::string_view line(content.data() + pos,
                              (lf == std::string::npos ? content.size() : lf) - pos);
        pos = lf == std::string::npos ? content.size() : lf + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        // An empty line would read as "queue empty" at the head and block the channel.
        if (!line.empty()) lines.emplace_back(line);
    }
    return lines;
}

}  // namespace

tOList::tOList(const IniFile& ini, const std::string& dataDir, bool comOn, JournalSync* sync)
    : m_dataDir(dataDir),
      m_sync(sync),
      m_clock(&steadyClock()),
      m_lifetimeDays(readLifeTime(ini, nullptr)) {
    if (comOn) m_channels.push_back(std::make_unique<tOItem>("Com", ini));
    for (const std::string& section : ini.sectionNames())
        if (section.rfind("Client", 0) == 0)
            m_channels.push_back(std::make_unique<tOItem>(section, ini));
    for (std::size_t i = 0; i < m_channels.size(); ++i) {
        tOItem& channel = *m_channels[i];
        bool first = true;
        for (std::size_t j = 0; j < i; ++j) {
            if (m_channels[j]->Id == channel.Id) {
                if (first) channel.Journal = m_channels[j]->Journal;
                first = false;
                ++channel.JournalMember;
            }
        }
        if (first) takeOverQueue(channel);
    }
    findStrandedFiles();
}

void tOList::findStrandedFiles() {
    DIR* dir = ::opendir(m_dataDir.empty() ? "." : m_dataDir.c_str());
    if (!dir) return;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        const bool out = name.size() > 4 && name.compare(name.size() - 4, 4, ".out") == 0;
        const bool jnl = name.size() > 4 && name.compare(name.size() - 4, 4, ".jnl") == 0;
        if ((out || jnl) && !find(std::string_view(name).substr(0, name.size() - 4)))
            names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string path = joinPath(m_dataDir, name);
        std::size_t lines = 0;
        if (name.back() == 'l') {
            if (auto content = readJournalFile(path)) lines = content->lines.size();
        } else if (auto content = readWholeFile(path)) {
            lines = queueFileLines(*content).size();
        }
        m_stranded.push_back({name, lines});
        consolePrintf(ConsoleStream::Err,
                      "Kormlink: %s holds %zu queued line(s) of no configured channel (a channel "
                      "removed or renamed?); it is kept as it is and not read\n",
                      path.c_str(), lines);
    }
}

void tOList::distribute(const std::string& id, const JournalContent& content) {
    std::vector<tOItem*> members;
    for (auto& channel : m_channels)
        if (channel->Id == id) members.push_back(channel.get());
    for (std::size_t i = 0; i < content.lines.size(); ++i) {
        const std::size_t m = i < content.members.size() ? content.members[i] : 0;
        tOItem& to = *members[m < members.size() ? m : 0];
        to.Queue.push_back(QueuedLine{++m_nextSeq, content.lines[i]});
    }
}

tOList::~tOList() = default;

void tOList::takeOverQueue(tOItem& channel) {
    if (!isFileName(channel.Id)) {
        if (m_sync)
            consolePrintf(ConsoleStream::Err,
                         "Kormlink: channel \"%s\": the Id is no file name, so its queue has no "
                         "journal or queue file and is not kept if the server stops\n",
                         channel.Id.c_str());
        return;
    }
    const std::string queuePath = joinPath(m_dataDir, queueFileName(channel.Id));
    if (!m_sync) {
        auto content = readWholeFile(queuePath);
        if (!content) return;
        for (std::string& line : queueFileLines(*content))
            channel.Queue.push_back(QueuedLine{++m_nextSeq, std::move(line)});
        ::unlink(queuePath.c_str());
        return;
    }

    const std::string journalPath = joinPath(m_dataDir, journalFileName(channel.Id));
    const std::uint64_t bit = std::uint64_t{1} << (m_journals.size() % 64);
    auto journal = std::make_shared<QueueJournal>(journalPath, *m_sync, bit);
    channel.Journal = journal;
    m_journals.push_back(JournalSlot{channel.Id, journal});
    JournalSlot& slot = m_journals.back();

    struct stat st {};
    if (::stat(journalPath.c_str(), &st) == 0 || errno != ENOENT) {
        const std::optional<JournalContent> content = readJournalFile(journalPath);
        if (!content) {
            if (!setAside(slot, "cannot be read", true)) return;
        } else if (content->badHeader) {
            if (!setAside(slot, "is no queue journal (or is damaged at its start)", true)) return;
        } else {
            distribute(channel.Id, *content);
            consolePrintf(ConsoleStream::Err,
                         "Kormlink: channel \"%s\" recovered %zu queued line(s) from %s after an "
                         "unfinished run\n",
                         channel.Id.c_str(), content->lines.size(), journalPath.c_str());
            if (content->droppedBytes > 0)
                consolePrintf(ConsoleStream::Err,
                             "Kormlink: %s ended in a torn or damaged record; %zu byte(s) "
                             "dropped\n",
                             journalPath.c_str(), content->droppedBytes);
            if (content->damagedPlaces > 0) {
                ++m_damagedJournals;
                consolePrintf(ConsoleStream::Err,
                              "Kormlink: %s is damaged in %zu place(s): %zu byte(s) passed over, "
                              "%zu intact record(s) around them read; lines whose records were "
                              "in the damage are missing, removed lines may come again\n",
                              journalPath.c_str(), content->damagedPlaces,
                              content->skippedBytes, content->records);
                // The damaged file is evidence and may hold more than could be read: it is
                // kept as it is, and a new journal is written from what was recovered.
                if (!setAside(slot, "is damaged", false)) return;
            }
            // The journal won; a queue file beside it is stale (the last run stopped between
            // writing it and removing the journal) and goes once the new journal holds the lines.
            slot.staleQueueFile = ::access(queuePath.c_str(), F_OK) == 0;
            writeTakenOver(slot);
            return;
        }
    }
    loadQueueFile(slot);
    writeTakenOver(slot);
}

bool tOList::setAside(JournalSlot& slot, const char* why, bool queueFileInstead) {
    const std::string journalPath = slot.journal->path();
    std::string aside = journalPath + ".bad";
    for (int n = 1; ::access(aside.c_str(), F_OK) == 0; ++n)
        aside = journalPath + ".bad" + std::to_string(n);
    if (fileio::rename(journalPath.c_str(), aside.c_str()) == 0) {
        consolePrintf(ConsoleStream::Err, "Kormlink: %s %s; kept as %s%s\n", journalPath.c_str(),
                      why, aside.c_str(), queueFileInstead ? ", the queue file is used instead" : "");
        if (slot.blocked) {
            slot.blocked = false;
            consolePrintf(ConsoleStream::Err, "Kormlink: channel \"%s\" keeps its lines again\n",
                          slot.id.c_str());
        }
        return true;
    }
    // Never written over: it may hold acknowledged lines. Until it can be moved away the
    // channel's lines are not answered; the rename is tried again with the journal retries.
    if (!slot.blocked)
        consolePrintf(ConsoleStream::Err,
                     "Kormlink: %s %s and cannot be set aside (%s); event lines for channel "
                     "\"%s\" are not answered until it can be\n",
                     journalPath.c_str(), why, std::strerror(errno), slot.id.c_str());
    slot.blocked = true;
    slot.blockedWhy = why;
    slot.loadQueueFileOnUnblock = queueFileInstead;
    slot.reportedFailure = true;
    m_anyUnhealthy = true;
    return false;
}

void tOList::loadQueueFile(JournalSlot& slot) {
    const std::string queuePath = joinPath(m_dataDir, queueFileName(slot.id));
    if (::access(queuePath.c_str(), F_OK) != 0) return;
    auto content = readWholeFile(queuePath);
    if (!content) {
        // Unreadable: left in place, as before journals; nothing is taken from it.
        consolePrintf(ConsoleStream::Err, "Kormlink: cannot read %s; it stays in place\n",
                      queuePath.c_str());
        return;
    }
    tOItem* channel = find(slot.id);
    // In front of anything queued meanwhile: these lines are older.
    std::vector<std::string> lines = queueFileLines(*content);
    for (auto it = lines.rbegin(); it != lines.rend(); ++it)
        channel->Queue.push_front(QueuedLine{++m_nextSeq, std::move(*it)});
    slot.staleQueueFile = true;
}

void tOList::writeTakenOver(JournalSlot& slot) {
    std::string error;
    if (slot.journal->rewrite(liveLines(slot.journal.get()), true, &error)) {
        removeStaleQueueFile(slot);
        return;
    }
    // The lines stay where they were found (journal or queue file) until a rewrite works.
    slot.reportedFailure = true;
    m_anyUnhealthy = true;
    consolePrintf(ConsoleStream::Err,
                 "Kormlink: cannot write the queue journal of channel \"%s\" (%s); event "
                 "lines are not answered until it can be written\n",
                 slot.id.c_str(), error.c_str());
}

void tOList::removeStaleQueueFile(JournalSlot& slot) {
    if (!slot.staleQueueFile) return;
    ::unlink(joinPath(m_dataDir, queueFileName(slot.id)).c_str());
    slot.staleQueueFile = false;
}

std::vector<QueueJournal::Line> tOList::liveLines(const QueueJournal* journal) const {
    std::vector<QueueJournal::Line> lines;
    for (const auto& channel : m_channels)
        if (channel->Journal.get() == journal)
            for (const QueuedLine& line : channel->Queue)
                lines.push_back({line.seq, line.text, channel->JournalMember});
    return lines;
}

void tOList::pushLine(tOItem& channel, std::string text) {
    const std::uint64_t seq = ++m_nextSeq;
    if (channel.Journal) channel.Journal->added(seq, text, channel.JournalMember);
    channel.Queue.push_back(QueuedLine{seq, std::move(text)});
}

void tOList::popHead(tOItem& channel) {
    const QueuedLine& head = channel.Queue.front();
    if (channel.Journal) channel.Journal->removed(head.seq, head.text.size());
    channel.Queue.pop_front();
}

void tOList::compact(JournalSlot& slot) {
    QueueJournal& journal = *slot.journal;
    if (!journal.healthy()) return;
    if (journal.liveLines() == 0 && journal.fileBytes() > kJournalHeader.size() + QueueJournal::kCompactFloorBytes &&
        journal.truncateEmpty())
        return;
    if (journal.needsCompaction()) journal.rewrite(liveLines(&journal), false, nullptr);
}

bool tOList::journalsHealthy() const {
    for (const JournalSlot& slot : m_journals)
        if (!slot.journal->healthy()) return false;
    return true;
}

void tOList::reportJournals() {
    bool any = false;
    for (JournalSlot& slot : m_journals) {
        const bool healthy = slot.journal->healthy();
        any = any || !healthy;
        if (!healthy && !slot.reportedFailure) {
            slot.reportedFailure = true;
            consolePrintf(ConsoleStream::Err,
                         "Kormlink: cannot keep the queue of channel \"%s\" (%s); event lines are "
                         "not answered until its journal can be written\n",
                         slot.id.c_str(), slot.journal->lastError().c_str());
        } else if (healthy && slot.reportedFailure) {
            slot.reportedFailure = false;
            consolePrintf(ConsoleStream::Err,
                         "Kormlink: the queue journal of channel \"%s\" is written again; event "
                         "lines are answered\n",
                         slot.id.c_str());
        }
    }
    m_anyUnhealthy = any;
}

void tOList::maintainJournals() {
    if (m_anyUnhealthy) {
        const Millis now = m_clock->now();
        if (now - m_lastRetry >= kJournalRetryMs) {
            m_lastRetry = now;
            for (JournalSlot& slot : m_journals) {
                if (slot.journal->healthy()) continue;
                if (slot.blocked) {
                    const bool queueFile = slot.loadQueueFileOnUnblock;
                    if (!setAside(slot, slot.blockedWhy, queueFile)) continue;
                    if (queueFile) loadQueueFile(slot);
                }
                if (slot.journal->rewrite(liveLines(slot.journal.get()), true, nullptr))
                    removeStaleQueueFile(slot);
            }
        }
    }
    reportJournals();
}

void tOList::afterBatch() {
    reportDrops(m_clock->now());
    if (!m_sync) return;
    // Group commit: one write per journal for everything the batch collected, in the fsync
    // mode one sync as well; then the connections may answer. A journal that fails withholds
    // the answers of its own lines only.
    const std::uint64_t target = m_sync->written();
    const bool fsync = m_sync->fsyncMode();
    std::uint64_t failed = 0;
    for (JournalSlot& slot : m_journals) {
        QueueJournal& journal = *slot.journal;
        if (!journal.flush() || (fsync && journal.dirty() && !journal.sync()))
            failed |= journal.bit();
    }
    m_sync->publish(target, failed);
    maintainJournals();
}

void tOList::RouteEvent(std::string& line, bool duplicateTest, const LocalTime& now) {
    m_lastRouteKept = true;  // a line no channel can take is answered as before
    m_lastRouteJournals = 0;
    m_lastRouteFrom = m_sync ? m_sync->written() : 0;
    if (!startsWith(line, "COM") || line.size() < 62 || line[29] != ':' || line[32] != ':') return;
    refreshTimeStamp(line, now);
    const std::optional<EventKey> key = decodeEvent(line);
    if (!key) return;  // transmitter Id or kind is no hexadecimal digit
    if (m_anyUnhealthy) maintainJournals();
    for (auto& channel : m_channels) {
        if (!MatchChannel(channel->Filters, *key)) continue;
        auto& queue = channel->Queue;
        const bool repeat =
            duplicateTest && !queue.empty() && sameDuplicateFields(line, queue.back().text);
        if (!repeat) {
            pushLine(*channel, line);
            ++channel->Routed;
            while (!queue.empty() && static_cast<std::int64_t>(queue.size()) > channel->QSize) {
                popHead(*channel);
                ++channel->Dropped.overflow;
                m_anyDrops = true;
            }
            channel->Signal.notify();
        } else {
            ++channel->Dropped.duplicate;
        }
        // Taken, or dropped as a repeat of a line that may itself be unjournaled.
        if (channel->Journal) {
            m_lastRouteJournals |= channel->Journal->bit();
            if (!channel->Journal->healthy()) m_lastRouteKept = false;
        }
    }
    for (JournalSlot& slot : m_journals) compact(slot);
    if (!m_journals.empty() && !journalsHealthy()) reportJournals();
}

tOItem* tOList::find(std::string_view id) {
    for (auto& channel : m_channels)
        if (channel->Id == id) return channel.get();
    return nullptr;
}

tOList::Head tOList::FetchHead(std::string_view id) const {
    for (const auto& channel : m_channels) {
        if (channel->Id != id) continue;
        if (channel->Queue.empty()) return {};
        return Head{channel->Queue.front().text, channel->Queue.front().seq};
    }
    return {};
}

void tOList::FetchHeads(std::string_view id, std::size_t max, std::vector<Head>& out) const {
    std::size_t n = 0;
    for (const auto& channel : m_channels) {
        if (channel->Id != id) continue;
        const auto& queue = channel->Queue;
        n = std::min(max, queue.size());
        if (out.size() < n) out.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            out[i].text.assign(queue[i].text);
            out[i].seq = queue[i].seq;
        }
        break;
    }
    out.resize(n);
}

tOList::Head tOList::FetchHead(std::size_t index) const {
    if (index >= m_channels.size() || m_channels[index]->Queue.empty()) return {};
    const QueuedLine& head = m_channels[index]->Queue.front();
    return Head{head.text, head.seq};
}

namespace {
bool removeSeq(tOItem& channel, std::uint64_t seq) {
    auto& queue = channel.Queue;
    for (auto it = queue.begin(); it != queue.end(); ++it) {
        if (it->seq == seq) {
            if (channel.Journal) channel.Journal->removed(seq, it->text.size());
            queue.erase(it);
            return true;
        }
    }
    return false;
}
}  // namespace

bool tOList::RemoveLine(std::string_view id, std::uint64_t seq, bool expired) {
    tOItem* channel = find(id);
    return channel && removeFrom(*channel, seq, expired);
}

bool tOList::RemoveLine(std::size_t index, std::uint64_t seq, bool expired) {
    return index < m_channels.size() && removeFrom(*m_channels[index], seq, expired);
}

bool tOList::removeFrom(tOItem& channel, std::uint64_t seq, bool expired) {
    if (!removeSeq(channel, seq)) return false;
    if (expired) {
        ++channel.Dropped.lifetime;
        m_anyDrops = true;
    } else {
        ++channel.Delivered;
    }
    compactJournalOf(channel);
    return true;
}

void tOList::reportDrops(Millis now) {
    if (!m_anyDrops) return;
    bool waiting = false;  // counts held back for their minute to pass
    const int lifeMinutes = static_cast<int>(m_lifetimeDays * 24 * 60 + 0.5);
    for (auto& channel : m_channels) {
        tOItem& c = *channel;
        const std::uint64_t overflow = c.Dropped.overflow - c.Reported.overflow;
        const std::uint64_t lifetime = c.Dropped.lifetime - c.Reported.lifetime;
        if (overflow == 0 && lifetime == 0) continue;
        if (c.EverReported && now - c.ReportedAt < kDropReportMs) {
            waiting = true;
            continue;
        }
        if (overflow > 0)
            consolePrintf(ConsoleStream::Err,
                          "Kormlink: channel %s: %llu line%s dropped in the last minute, queue "
                          "full at QSize %d\n",
                          c.Id.c_str(), static_cast<unsigned long long>(overflow),
                          overflow == 1 ? "" : "s", static_cast<int>(c.QSize));
        if (lifetime > 0)
            consolePrintf(ConsoleStream::Err,
                          "Kormlink: channel %s: %llu line%s dropped in the last minute, older "
                          "than LifeTime %d:%02d\n",
                          c.Id.c_str(), static_cast<unsigned long long>(lifetime),
                          lifetime == 1 ? "" : "s", lifeMinutes / 60, lifeMinutes % 60);
        c.Reported.overflow = c.Dropped.overflow;
        c.Reported.lifetime = c.Dropped.lifetime;
        c.ReportedAt = now;
        c.EverReported = true;
    }
    m_anyDrops = waiting;
}

void tOList::compactJournalOf(const tOItem& channel) {
    if (!channel.Journal) return;
    for (JournalSlot& slot : m_journals)
        if (slot.journal == channel.Journal) compact(slot);
}

int tOList::SaveQueues() {
    int failures = 0;
    std::vector<bool> done(m_channels.size(), false);
    for (std::size_t i = 0; i < m_channels.size(); ++i) {
        if (done[i]) continue;
        const std::string& id = m_channels[i]->Id;
        std::string content;
        std::size_t lines = 0;
        for (std::size_t j = i; j < m_channels.size(); ++j) {
            if (m_channels[j]->Id != id) continue;
            done[j] = true;
            for (const QueuedLine& line : m_channels[j]->Queue) {
                content += line.text;
                content += "\r\n";
                ++lines;
            }
        }
        QueueJournal* journal = m_channels[i]->Journal.get();
        JournalSlot* slot = nullptr;
        for (JournalSlot& s : m_journals)
            if (s.journal.get() == journal) slot = &s;
        // A blocked journal is not ours to remove; the queue file is still written.
        if (slot && slot->blocked) journal = nullptr;
        if (journal) journal->flush();  // kept as it stands when the queue file fails
        if (lines == 0) {
            if (journal) journal->remove();
            if (slot) removeStaleQueueFile(*slot);  // its lines were delivered since
            continue;
        }
        std::string error = "not a valid file name";
        if (!isFileName(id) ||
            !replaceFileAtomically(joinPath(m_dataDir, queueFileName(id)), content, &error)) {
            consolePrintf(ConsoleStream::Err,
                          "Kormlink: cannot save the queue of channel \"%s\" (%zu lines): %s\n",
                          id.c_str(), lines, error.c_str());
            if (journal)
                consolePrintf(ConsoleStream::Err,
                              "Kormlink: its journal %s is kept for the next start\n",
                              journal->path().c_str());
            ++failures;
            continue;
        }
        // The queue file holds the lines now; a journal left beside it would win at the next
        // start and bring back lines delivered since.
        if (journal) journal->remove();
    }
    m_channels.clear();
    m_journals.clear();
    return failures;
}

}  // namespace kormlink

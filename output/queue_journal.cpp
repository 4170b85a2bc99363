#include "output/queue_journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <list>
#include <optional>
#include <unordered_map>

#include "platform/file_io.h"
#include "platform/files.h"

namespace kormlink {
namespace {

constexpr std::size_t kFrameBytes = 8;           // length and checksum
constexpr std::size_t kPayloadHead = 9;          // type and sequence number
// Far above any line the server takes, and small enough that passing over damage stays quick.
constexpr std::uint32_t kMaxPayload = kPayloadHead + (256u << 10);
constexpr std::size_t kReadPieceBytes = 1u << 20;
constexpr std::size_t kKeptBufferBytes = 1u << 20;

std::array<std::uint32_t, 256> makeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}

void putU32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void putU64(std::string& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

std::uint64_t getLE(std::string_view s, std::size_t at, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(s[at + static_cast<std::size_t>(i)]);
    return v;
}

std::uint32_t crcUpdate(std::uint32_t c, std::string_view data);

// Appends one framed record to out, without a temporary. A line of a channel that shares its
// Id with channels before it is a 'B' record, which carries the channel's place among them.
void appendFrame(std::string& out, char type, std::uint64_t seq, std::string_view text,
                 std::uint16_t member = 0) {
    const std::size_t start = out.size();
    if (type == 'A' && member > 0) type = 'B';
    const auto length =
        static_cast<std::uint32_t>(kPayloadHead + (type == 'B' ? 2 : 0) + text.size());
    putU32(out, length);
    putU32(out, 0);  // the checksum, filled in below
    out.push_back(type);
    putU64(out, seq);
    if (type == 'B') {
        out.push_back(static_cast<char>(member & 0xFF));
        out.push_back(static_cast<char>(member >> 8));
    }
    out.append(text);
    const std::uint32_t crc =
        crcUpdate(0xFFFFFFFFu, std::string_view(out).substr(start + kFrameBytes)) ^ 0xFFFFFFFFu;
    for (int i = 0; i < 4; ++i) out[start + 4 + static_cast<std::size_t>(i)] =
        static_cast<char>((crc >> (8 * i)) & 0xFF);
}

std::string frame(char type, std::uint64_t seq, std::string_view text) {
    std::string record;
    record.reserve(kFrameBytes + kPayloadHead + text.size());
    appendFrame(record, type, seq, text);
    return record;
}

std::size_t addRecordBytes(std::size_t textBytes) { return kFrameBytes + kPayloadHead + textBytes; }

}  // namespace

namespace {
const std::array<std::uint32_t, 256> kCrcTable = makeCrcTable();

std::uint32_t crcUpdate(std::uint32_t c, std::string_view data) {
    for (char ch : data) c = kCrcTable[(c ^ static_cast<unsigned char>(ch)) & 0xFF] ^ (c >> 8);
    return c;
}
}  // namespace

std::uint32_t crc32(std::string_view data) { return crcUpdate(0xFFFFFFFFu, data) ^ 0xFFFFFFFFu; }

std::string journalFileName(const std::string& id) { return id + ".jnl"; }

std::string journalAddRecord(std::uint64_t seq, std::string_view text, std::uint16_t member) {
    std::string record;
    appendFrame(record, 'A', seq, text, member);
    return record;
}

std::string journalRemoveRecord(std::uint64_t seq) { return frame('R', seq, {}); }

struct JournalReader::Lines {
    // Oldest first; a line leaves the list with its removal record, so only the queue is held.
    using Entry = std::pair<std::uint16_t, std::string>;  // member, text
    std::list<Entry> order;
    std::unordered_map<std::uint64_t, std::list<Entry>::iterator> bySeq;
};

JournalReader::JournalReader() : m_lines(std::make_unique<Lines>()) {}
JournalReader::~JournalReader() = default;

void JournalReader::feed(std::string_view bytes) {
    if (m_content.badHeader) return;
    // What was read is let go, so the buffer holds little more than one piece.
    if (m_pos > 0 && m_pos >= m_pending.size() / 2) {
        m_pending.erase(0, m_pos);
        m_consumed += m_pos;
        m_pos = 0;
    }
    m_pending.append(bytes);
    scan(false);
}

void JournalReader::scan(bool final) {
    if (!m_headerRead) {
        if (m_pending.size() < kJournalHeader.size() && !final) return;
        if (std::string_view(m_pending).substr(0, kJournalHeader.size()) != kJournalHeader) {
            m_content.badHeader = true;
            m_pending.clear();
            return;
        }
        m_headerRead = true;
        m_pos = kJournalHeader.size();
    }
    const std::string_view buf(m_pending);
    while (buf.size() - m_pos >= kFrameBytes) {
        const auto length = static_cast<std::uint32_t>(getLE(buf, m_pos, 4));
        const auto checksum = static_cast<std::uint32_t>(getLE(buf, m_pos + 4, 4));
        const std::size_t avail = buf.size() - m_pos - kFrameBytes;
        bool valid = length >= kPayloadHead && length <= kMaxPayload;
        if (valid && avail < length) {
            if (!final) return;  // the rest of the record is in the next piece
            valid = false;
        }
        std::string_view payload;
        if (valid) {
            payload = buf.substr(m_pos + kFrameBytes, length);
            const char type = payload[0];
            valid = (type == 'A' || (type == 'B' && length >= kPayloadHead + 2) ||
                     (type == 'R' && length == kPayloadHead)) &&
                    crc32(payload) == checksum;
        }
        if (!valid) {
            if (!m_inDamage) {
                m_inDamage = true;
                m_damageStart = m_consumed + m_pos;
            }
            ++m_pos;
            continue;
        }
        if (m_inDamage) {
            m_inDamage = false;
            ++m_content.damagedPlaces;
            m_content.skippedBytes += m_consumed + m_pos - m_damageStart;
        }
        const std::uint64_t seq = getLE(payload, 1, 8);
        if (payload[0] != 'R') {
            const bool member = payload[0] == 'B';
            auto [it, fresh] = m_lines->bySeq.try_emplace(seq);
            if (fresh)
                it->second = m_lines->order.insert(
                    m_lines->order.end(),
                    {static_cast<std::uint16_t>(member ? getLE(payload, kPayloadHead, 2) : 0),
                     std::string(payload.substr(kPayloadHead + (member ? 2 : 0)))});
        } else if (auto it = m_lines->bySeq.find(seq); it != m_lines->bySeq.end()) {
            m_lines->order.erase(it->second);
            m_lines->bySeq.erase(it);
        }
        ++m_content.records;
        m_pos += kFrameBytes + length;
    }
}

JournalContent JournalReader::finish() {
    if (!m_content.badHeader) {
        scan(true);
        // Damage that runs to the end is a torn tail: the last write did not finish.
        if (m_headerRead)
            m_content.droppedBytes =
                m_consumed + m_pending.size() - (m_inDamage ? m_damageStart : m_consumed + m_pos);
    }
    m_content.lines.reserve(m_lines->order.size());
    m_content.members.reserve(m_lines->order.size());
    for (auto& [member, line] : m_lines->order) {
        m_content.lines.push_back(std::move(line));
        m_content.members.push_back(member);
    }
    m_lines = std::make_unique<Lines>();
    m_pending.clear();
    return std::move(m_content);
}

JournalContent readJournal(std::string_view file) {
    JournalReader reader;
    reader.feed(file);
    return reader.finish();
}

std::optional<JournalContent> readJournalFile(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    JournalReader reader;
    std::string piece(kReadPieceBytes, '\0');
    for (;;) {
        const ssize_t n = ::read(fd.get(), piece.data(), piece.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        reader.feed(std::string_view(piece.data(), static_cast<std::size_t>(n)));
    }
    return reader.finish();
}

void JournalSync::publish(std::uint64_t upTo, std::uint64_t failed) {
    {
        std::lock_guard lock(m_mutex);
        if (failed != 0 && upTo > m_durable) {
            if (m_failures.size() == kFailuresKept) {
                m_failedBelow = std::max(m_failedBelow, m_failures.front().to);
                m_failures.pop_front();
            }
            m_failures.push_back(Failure{m_durable, upTo, failed});
            m_anyFailure.store(true, std::memory_order_release);
        }
        m_durable = std::max(m_durable, upTo);
        m_durableFast.store(m_durable, std::memory_order_release);
    }
    m_cv.notify_all();
}

bool JournalSync::keptLocked(std::uint64_t from, std::uint64_t ticket, std::uint64_t mask) const {
    if (ticket == 0 || mask == 0) return true;  // no journal took the lines
    // A receipt that added no records of its own (a repeat of a queued line) still counts on
    // the batch that wrote its ticket.
    const std::uint64_t lo = std::min(from, ticket - 1);
    if (lo < m_failedBelow) return false;
    for (const Failure& f : m_failures)
        if ((f.mask & mask) != 0 && lo < f.to && f.from < ticket) return false;
    return true;
}

bool JournalSync::await(std::uint64_t from, std::uint64_t ticket, std::uint64_t mask,
                        Millis timeoutMs, const std::function<void()>& nudge) {
    // The usual case: the batch that routed the lines has written them before it let the
    // connection go on, and nothing has failed since the start.
    if (m_durableFast.load(std::memory_order_acquire) >= ticket &&
        !m_anyFailure.load(std::memory_order_acquire))
        return true;
    const Millis deadline = steadyClock().now() + timeoutMs;
    std::unique_lock lock(m_mutex);
    // Usually the batch that ran the caller's hand-over syncs at once; when the main thread
    // has gone idle before that, a nudge makes it run another batch.
    while (!m_cv.wait_for(lock, std::chrono::milliseconds(10), [&] { return m_durable >= ticket; })) {
        if (steadyClock().now() >= deadline) return false;
        lock.unlock();
        if (nudge) nudge();
        lock.lock();
    }
    return keptLocked(from, ticket, mask);
}

QueueJournal::QueueJournal(std::string path, JournalSync& sync, std::uint64_t bit)
    : m_path(std::move(path)), m_sync(sync), m_bit(bit) {}

QueueJournal::~QueueJournal() = default;

bool QueueJournal::rewrite(const std::vector<Line>& lines, bool durable, std::string* error) {
    std::string content(kJournalHeader);
    std::size_t liveBytes = 0;
    for (const Line& line : lines) liveBytes += addRecordBytes(line.text.size());
    content.reserve(content.size() + liveBytes);
    for (const Line& line : lines) appendFrame(content, 'A', line.seq, line.text, line.member);
    std::string why;
    const bool sync = durable || m_sync.fsyncMode();
    if (!replaceFileAtomically(m_path, content, &why, sync)) {
        m_fd.reset();
        m_healthy = false;
        m_error = why;
        if (error) *error = why;
        return false;
    }
    // The new file holds the live state: what was collected for the old one is in it.
    m_unwritten.clear();
    m_fd.reset(fileio::open(m_path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    if (!m_fd) {
        fail("cannot open", errno);
        // The file holds the lines; only appends are impossible. The unhealthy journal takes
        // no records, and the next rewrite opens it again.
        if (error) *error = m_error;
        return false;
    }
    m_healthy = true;
    m_addedSinceSync = !sync && !lines.empty();
    m_error.clear();
    m_fileBytes = content.size();
    m_liveLines = lines.size();
    m_liveBytes = liveBytes;
    m_sync.noteWrite();
    if (sync) m_sync.noteSync();
    return true;
}

void QueueJournal::added(std::uint64_t seq, std::string_view text, std::uint16_t member) {
    ++m_liveLines;
    m_liveBytes += addRecordBytes(text.size());
    if (m_healthy) {
        appendFrame(m_unwritten, 'A', seq, text, member);
        m_sync.noteWrite();
    }
    if (m_healthy) m_addedSinceSync = true;
}

void QueueJournal::removed(std::uint64_t seq, std::size_t textBytes) {
    if (m_liveLines > 0) --m_liveLines;
    const std::size_t bytes = addRecordBytes(textBytes);
    m_liveBytes = m_liveBytes > bytes ? m_liveBytes - bytes : 0;
    append('R', seq, {});
}

void QueueJournal::append(char type, std::uint64_t seq, std::string_view text) {
    if (!m_healthy) return;
    appendFrame(m_unwritten, type, seq, text);
    m_sync.noteWrite();
}

bool QueueJournal::flush() {
    if (m_unwritten.empty()) return true;
    if (!m_healthy) {
        // Collected while healthy, then a rewrite failed: these records are in no file.
        m_unwritten.clear();
        return false;
    }
    std::string_view rest(m_unwritten);
    while (!rest.empty()) {
        const ssize_t n = fileio::write(m_fd.get(), rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : ENOSPC;
            // Cut the torn record off again, so the file ends on a whole record; a rewrite
            // repairs the journal in any case.
            if (fileio::ftruncate(m_fd.get(), static_cast<off_t>(m_fileBytes)) != 0) {
            }
            m_unwritten.clear();
            fail("cannot write", err);
            return false;
        }
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
    m_fileBytes += m_unwritten.size();
    m_unwritten.clear();
    // A buffer grown large by a big batch is not kept for ever.
    if (m_unwritten.capacity() > kKeptBufferBytes) m_unwritten.shrink_to_fit();
    return true;
}

bool QueueJournal::needsCompaction() const {
    return m_healthy &&
           fileBytes() > kJournalHeader.size() + kCompactFactor * m_liveBytes + kCompactFloorBytes;
}

bool QueueJournal::truncateEmpty() {
    if (!m_healthy || m_liveLines != 0) return false;
    if (fileio::ftruncate(m_fd.get(), static_cast<off_t>(kJournalHeader.size())) != 0)
        return false;
    m_unwritten.clear();  // an empty queue: the header says it all
    m_fileBytes = kJournalHeader.size();
    m_liveBytes = 0;
    m_sync.noteWrite();
    return true;
}

bool QueueJournal::sync() {
    if (!flush()) return false;
    if (!m_addedSinceSync) return true;
    m_addedSinceSync = false;
    if (!m_fd) return false;  // lines were added to a file that is gone: not synced
    m_sync.noteSync();
    if (fileio::fdatasync(m_fd.get()) == 0) return true;
    fail("cannot sync", errno);
    return false;
}

void QueueJournal::remove() {
    m_unwritten.clear();
    m_fd.reset();
    m_healthy = false;
    ::unlink(m_path.c_str());
}

void QueueJournal::fail(const std::string& what, int err) {
    m_healthy = false;
    m_error = what + " " + m_path + ": " + std::strerror(err);
}

}  // namespace kormlink

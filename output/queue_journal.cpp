#include "output/queue_journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <unordered_map>

#include "platform/files.h"

namespace kormlink {
namespace {

constexpr std::size_t kFrameBytes = 8;           // length and checksum
constexpr std::size_t kPayloadHead = 9;          // type and sequence number
constexpr std::uint32_t kMaxPayload = 16u << 20; // far above any line the server takes
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

// Appends one framed record to out, without a temporary.
void appendFrame(std::string& out, char type, std::uint64_t seq, std::string_view text) {
    const std::size_t start = out.size();
    const auto length = static_cast<std::uint32_t>(kPayloadHead + text.size());
    putU32(out, length);
    putU32(out, 0);  // the checksum, filled in below
    out.push_back(type);
    putU64(out, seq);
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

std::string journalAddRecord(std::uint64_t seq, std::string_view text) {
    return frame('A', seq, text);
}

std::string journalRemoveRecord(std::uint64_t seq) { return frame('R', seq, {}); }

JournalContent readJournal(std::string_view file) {
    JournalContent content;
    if (file.substr(0, kJournalHeader.size()) != kJournalHeader) {
        content.badHeader = true;
        return content;
    }
    std::vector<std::optional<std::string>> lines;
    std::unordered_map<std::uint64_t, std::size_t> index;  // sequence number -> place in lines
    std::size_t pos = kJournalHeader.size();
    while (pos < file.size()) {
        if (file.size() - pos < kFrameBytes) break;
        const auto length = static_cast<std::uint32_t>(getLE(file, pos, 4));
        const auto checksum = static_cast<std::uint32_t>(getLE(file, pos + 4, 4));
        if (length < kPayloadHead || length > kMaxPayload || file.size() - pos - kFrameBytes < length)
            break;
        const std::string_view payload = file.substr(pos + kFrameBytes, length);
        if (crc32(payload) != checksum) break;
        const std::uint64_t seq = getLE(payload, 1, 8);
        if (payload[0] == 'A') {
            if (index.emplace(seq, lines.size()).second)
                lines.emplace_back(std::string(payload.substr(kPayloadHead)));
        } else if (payload[0] == 'R') {
            if (auto it = index.find(seq); it != index.end()) {
                lines[it->second].reset();
                index.erase(it);
            }
        }
        ++content.records;
        pos += kFrameBytes + length;
    }
    content.droppedBytes = file.size() - pos;
    for (auto& line : lines)
        if (line) content.lines.push_back(std::move(*line));
    return content;
}

void JournalSync::publish(std::uint64_t upTo, bool ok) {
    {
        std::lock_guard lock(m_mutex);
        if (!ok) m_failedUpTo = std::max(m_failedUpTo, upTo);
        m_durable = std::max(m_durable, upTo);
        m_durableFast.store(m_durable, std::memory_order_release);
    }
    m_cv.notify_all();
}

bool JournalSync::await(std::uint64_t ticket, Millis timeoutMs,
                        const std::function<void()>& nudge) {
    // The usual case: the batch that routed the lines has written them before it let the
    // connection go on, and nothing failed since the start.
    if (m_durableFast.load(std::memory_order_acquire) >= ticket) {
        std::lock_guard lock(m_mutex);
        return ticket == 0 || m_failedUpTo < ticket;
    }
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
    return ticket == 0 || m_failedUpTo < ticket;
}

QueueJournal::QueueJournal(std::string path, JournalSync& sync)
    : m_path(std::move(path)), m_sync(sync) {}

QueueJournal::~QueueJournal() = default;

bool QueueJournal::rewrite(const std::vector<Line>& lines, bool durable, std::string* error) {
    std::string content(kJournalHeader);
    std::size_t liveBytes = 0;
    for (const Line& line : lines) liveBytes += addRecordBytes(line.text.size());
    content.reserve(content.size() + liveBytes);
    for (const Line& line : lines) appendFrame(content, 'A', line.seq, line.text);
    // The new file holds the live state: what was collected for the old one is moot.
    m_unwritten.clear();
    std::string why;
    const bool sync = durable || m_sync.fsyncMode();
    if (!replaceFileAtomically(m_path, content, &why, sync)) {
        m_fd.reset();
        m_healthy = false;
        m_error = why;
        if (error) *error = why;
        return false;
    }
    m_fd.reset(::open(m_path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    if (!m_fd) {
        fail("cannot open", errno);
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

void QueueJournal::added(std::uint64_t seq, std::string_view text) {
    ++m_liveLines;
    m_liveBytes += addRecordBytes(text.size());
    append('A', seq, text);
    m_addedSinceSync = true;
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
        m_unwritten.clear();
        return false;
    }
    std::string_view rest(m_unwritten);
    while (!rest.empty()) {
        const ssize_t n = ::write(m_fd.get(), rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : ENOSPC;
            // Cut the torn record off again, so the file ends on a whole record; a rewrite
            // repairs the journal in any case.
            if (::ftruncate(m_fd.get(), static_cast<off_t>(m_fileBytes)) != 0) {
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
    m_unwritten.clear();  // an empty queue: the header says it all
    if (::ftruncate(m_fd.get(), static_cast<off_t>(kJournalHeader.size())) != 0) return false;
    m_fileBytes = kJournalHeader.size();
    m_liveBytes = 0;
    m_sync.noteWrite();
    return true;
}

bool QueueJournal::sync() {
    if (!flush()) return false;
    if (!m_addedSinceSync) return true;
    if (!m_fd) return false;  // lines were added to a file that is gone: not synced
    m_addedSinceSync = false;
    m_sync.noteSync();
    if (::fdatasync(m_fd.get()) == 0) return true;
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

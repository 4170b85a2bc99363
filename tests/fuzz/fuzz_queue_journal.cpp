// The queue journal read back at start: any bytes as "<Id>.jnl". The reader alone, then a
// channel list that takes the journal over. Checked: the lines read, journaled again, read
// back the same and whole; the channel's queue holds what the reader found; the journal the
// list writes reads back as its queue.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "fuzz_temp_dir.h"
#include "output/channels.h"
#include "output/queue_journal.h"
#include "platform/files.h"

using namespace kormlink;

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view file(reinterpret_cast<const char*>(data), size);
    const JournalContent content = readJournal(file);
    check(content.droppedBytes <= file.size());

    // Taken over by a channel at start, as after a run that did not stop in order.
    const std::string& dir = fuzz::tempDir();
    const std::string journalPath = joinPath(dir, journalFileName("fz"));
    if (!replaceFileAtomically(journalPath, std::string(file))) __builtin_trap();
    JournalSync sync;
    {
        tOList list(IniFile::parse("[Client1]\nId=fz\nQSize=1000\n"), dir, false, &sync);
        const tOItem& channel = list.at(0);
        if (!content.badHeader) {
            std::string rewritten(kJournalHeader);
            for (std::size_t i = 0; i < content.lines.size(); ++i)
                rewritten += journalAddRecord(i + 1, content.lines[i]);
            const JournalContent again = readJournal(rewritten);
            check(!again.badHeader && again.lines == content.lines && again.droppedBytes == 0 &&
                  again.records == content.lines.size());
            check(channel.Queue.size() <= content.lines.size());
            for (const QueuedLine& line : channel.Queue) check(!line.text.empty());
            auto written = readWholeFile(journalPath);
            check(written.has_value());
            const JournalContent kept = readJournal(*written);
            check(kept.lines.size() == channel.Queue.size());
            for (std::size_t i = 0; i < kept.lines.size(); ++i)
                check(kept.lines[i] == channel.Queue[i].text);
        }
        list.SaveQueues();  // writes fz.out (or nothing) and removes the journal
    }
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
        std::filesystem::remove_all(entry.path(), ec);
    return 0;
}

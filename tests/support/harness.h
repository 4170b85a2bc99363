#pragma once

// Test support: temporary data folders, a scripted repeater on loopback, event lines built
// field by field, and a server running on its own "main" thread.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/main_thread.h"
#include "core/operator_view.h"
#include "platform/clock.h"
#include "platform/tcp.h"
#include "server/server.h"

namespace kormlink {
class ProgramEditor;
class tOItem;
}

namespace kormlink::test {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }
    void write(const std::string& name, const std::string& content) const;
    std::string read(const std::string& name) const;  // "" when missing
    bool exists(const std::string& name) const { return std::filesystem::exists(file(name)); }

private:
    std::string m_path;
};

// The local time when the test program started, as an event line's time stamp: recent enough
// that routing keeps it, and the same in every line the program builds.
std::string processStamp();
// Three upper-case hexadecimal digits, for transmitter Ids that make lines distinct.
std::string hex3(unsigned value);

// The fields of an event line; build() places them at their positions.
struct EventSpec {
    char system = '1';
    std::string stamp = processStamp();          // positions 17-35
    char digit39 = '1';
    std::string transmitter = "123";            // positions 41-43
    char kind = '1';                            // position 44
    std::string state = "0000000000000000";     // positions 47-62, 16 characters
    std::string repeaterId = "00A1B2";          // the last word
    int number = -1;                            // >= 0: numbered line ("#4", positions 64-67)
    std::size_t length = 72;                    // 72 or 74, or a wrong length

    std::string build() const;
    // A status line of repeater `id`: kind 0, digit 39 is 0, transmitter = low byte of id.
    static EventSpec status(const std::string& id, const std::string& state);
};

// A plain event line from transmitter tx (three hexadecimal digits).
std::string eventFrom(const std::string& tx);
// The texts queued in a channel, head first.
std::vector<std::string> queueTexts(const tOItem& channel);

// A repeater played by the test over loopback.
class ScriptedRepeater {
public:
    // from: the local address to connect from (any 127.x.y.z); the default one when empty.
    explicit ScriptedRepeater(std::uint16_t port, const std::string& from = {});
    bool connected() const { return m_socket.has_value(); }
    void send(const std::string& line);     // appends CR LF
    void sendRaw(const std::string& bytes);
    // The next line from the server, or nullopt when none arrives in time (or it closed).
    std::optional<std::string> readLine(Millis timeoutMs = 3000);
    // Reads the greeting and the first time command; false when they are not as expected.
    bool readWelcome(Millis timeoutMs = 3000);
    // True when the server closes the connection within the time.
    bool closedByServer(Millis timeoutMs);
    void close() { m_socket.reset(); }
    // Abortive close: the server sees a connection reset.
    void reset();

private:
    std::optional<TcpSocket> m_socket;
    RecvStatus m_last = RecvStatus::Timeout;
};

// A receiver wired to a serial port, played on the master side of a pseudo-terminal; the
// program under test opens the slave side by its path.
class PtyReceiver {
public:
    PtyReceiver();
    ~PtyReceiver();
    const std::string& path() const { return m_path; }
    // Bytes up to and including the next `end`, or nullopt after the time.
    std::optional<std::string> readLine(Millis timeoutMs = 3000, char end = '\n');
    void answer(const std::string& bytes);
    // The receiver's end goes away, as when a USB adapter is pulled: the server's side reads
    // and writes errors from now on.
    void hangUp();

private:
    int m_master = -1;
    int m_slave = -1;  // kept open so the master never sees a hang-up
    std::string m_path;
    std::string m_partial;
};

// Remembers everything shown to the operator. Thread-safe.
class RecordingView : public OperatorView {
public:
    void ShowInCommandWindow(const std::string& text) override;
    void traceText(TraceDirection direction, const std::string& text) override;
    void showMessageBox(const std::string& caption, const std::string& text,
                        std::function<void()> closed) override;
    void connectionCountChanged(std::size_t count) override;
    void channelsChanged() override;
    // While set, the list updates (connection count, channels) throw, as a failing window might.
    void setFailing(bool failing) { m_failing = failing; }

    std::vector<std::string> commandLines() const { return copy(m_command); }
    std::vector<std::string> traceLines() const { return copy(m_trace); }  // "<- text" / "-> text"
    std::size_t lastCount() const { return copy(m_count); }

private:
    template <typename T>
    T copy(const T& recorded) const {
        std::lock_guard lock(m_mutex);
        return recorded;
    }
    mutable std::mutex m_mutex;
    std::vector<std::string> m_command;
    std::vector<std::string> m_trace;
    std::size_t m_count = 0;
    std::atomic<bool> m_failing{false};
};

// A Server with its own main thread, configured from an INI text in a temporary data folder
// that has the log folders. The clock is an OffsetClock the test may move forward.
class ServerHarness {
public:
    explicit ServerHarness(const std::string& ini);
    ~ServerHarness();

    // Runs fn on the server's main thread and returns its result.
    template <typename F>
    auto onMain(F fn) -> decltype(fn(std::declval<Server&>())) {
        using R = decltype(fn(std::declval<Server&>()));
        if constexpr (std::is_void_v<R>) {
            m_main->call([&] { fn(*m_server); });
        } else {
            std::optional<R> result;
            m_main->call([&] { result.emplace(fn(*m_server)); });
            return std::move(*result);
        }
    }

    std::uint16_t port();     // the input port, once listening
    // A repeater connected to the input port that has read the greeting and the time command.
    std::unique_ptr<ScriptedRepeater> repeater(const std::string& from = {});
    std::uint16_t outPort();  // the output port, once listening
    OffsetClock& clock() { return m_clock; }
    RecordingView& view() { return m_view; }
    const TempDir& dir() const { return m_dir; }
    // Lines offered to the output channels, in order. Thread-safe.
    std::vector<std::string> routed() const;
    // Waits until at least n lines were routed.
    bool waitRouted(std::size_t n, Millis timeoutMs = 3000) const;
    // The registry as (HpId, Nr) pairs in order.
    std::vector<std::pair<std::uint32_t, std::int32_t>> registry();
    bool waitRegistrySize(std::size_t n, Millis timeoutMs = 3000);
    // Lines of one of today's logs ("" lines dropped).
    std::vector<std::string> logLines(int which /*0 event, 1 status, 2 connection*/) const;
    // Waits until one of today's logs holds the line.
    bool logged(int which, const std::string& line, Millis timeoutMs = 3000) const;
    // Sends an event carrying id and waits until it is logged; the Id is learned in the same
    // hand-over (and only from a connection's first such line).
    bool identify(ScriptedRepeater& rpt, const std::string& id = "00A1B2");
    // Sends the lines from a repeater of its own, each answered, and waits until they are routed.
    bool feed(const std::vector<std::string>& lines);
    // Waits for the connection of repeater id, then hands it the command, as the command
    // window does.
    bool queueCommand(std::uint32_t id, const std::string& cmd,
                      std::shared_ptr<ProgramEditor> editor = nullptr);
    // Waits until the command window shows text.
    bool shown(const std::string& text, Millis timeoutMs = 3000) const;
    // A channel's queue length and the number of clients (or the serial link) attached to it.
    std::size_t queued(std::size_t channel = 0);
    int attached(std::size_t channel = 0);

private:
    TempDir m_dir;
    OffsetClock m_clock;
    RecordingView m_view;
    mutable std::mutex m_routedMutex;
    std::vector<std::string> m_routed;
    std::unique_ptr<MainThread> m_main;  // made on the server thread, outlives it
    Server* m_server = nullptr;
    std::promise<void> m_ready;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Makes link a symbolic link to target, replacing whatever link was in one step (a device
// name that moves to the adapter plugged in again).
void pointLink(const std::string& link, const std::string& target);

// A port that was free a moment ago, for a configuration that needs a fixed one: bound to
// port 0, noted, released.
std::uint16_t freePort();

// Polls pred every few milliseconds until it holds or the time is up.
bool eventually(const std::function<bool()>& pred, Millis timeoutMs = 3000);

std::vector<std::string> splitLines(const std::string& text);

}  // namespace kormlink::test

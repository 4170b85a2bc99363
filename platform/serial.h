#pragma once

// Serial ports over termios.
//
// Ports are numbered as the operator knows them (COM1, COM2, ...). Section [Ports] of the
// configuration file maps a number to a device ("COM3=/dev/ttyUSB0"); without a key COMn is
// /dev/ttyS<n-1>; COM0 (or a negative number) is no port.
//
// A port is opened exclusively (O_NOCTTY, then TIOCEXCL) in raw mode with the settings coded
// as in the configuration file. Linux termios has no 1.5 stop bits and no 4 data bits: they
// become 2 stop bits and 5 data bits. Baud rates termios lacks (for example 14400) become the
// nearest rate it has. The original terminal settings are restored when the port is closed.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/ini.h"
#include "platform/tcp.h"
#include "platform/unique_fd.h"

struct termios;

namespace kormlink {

// Line settings as the configuration file codes them.
struct SerialSettings {
    std::int32_t Baud = 9600;
    std::int32_t DataBits = 8;  // 4 to 8
    std::int32_t Parity = 0;    // 0 none, 1 odd, 2 even
    std::int32_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
    std::int32_t FlowCtrl = 0;  // 0 none, 1 XON/XOFF both ways, 2 hardware (CTS, RTS, DTR on)
};
SerialSettings readSerialSettings(const IniFile& ini, std::string_view section);

// Puts the settings into t: raw mode, local line, receiver on, data bits, parity, stop bits,
// flow control and speed.
void configureTermios(::termios& t, const SerialSettings& settings);

// The device path of COM<port>; empty for port 0 or below.
std::string serialDevicePath(const IniFile& ini, std::int32_t port);

// Whether a serial port is there at path: it opens as a terminal, or another program holds it
// exclusively (EBUSY, as this program's own open ports answer). Opened without waiting for a
// carrier and closed at once; a missing device, an empty path or a plain file is no port.
bool serialDeviceExists(const std::string& path);

class SerialPort {
public:
    // Opens and configures the device; nullopt with error set when it cannot.
    static std::optional<SerialPort> open(const std::string& path, const SerialSettings& settings,
                                          std::string* error);
    ~SerialPort();
    SerialPort(SerialPort&& other) noexcept;
    SerialPort& operator=(SerialPort&& other) noexcept;
    SerialPort(const SerialPort&) = delete;

    // Writes all of data within the time. False on error or time-out.
    bool write(std::string_view data, Millis timeoutMs, const Waker* interrupt = nullptr);
    // Reads and drops everything received so far.
    void discardInput();
    // Drops everything written but not yet sent.
    void discardOutput();
    // Waits until the byte c arrives among bytes received from now on; the bytes read meanwhile
    // are consumed. False on time-out, error or when the waker is set.
    bool waitForByte(char c, Millis timeoutMs, const Waker* interrupt = nullptr);
    // Receives whatever arrives within the time into out (appending, at most max bytes).
    // False on error or when the waker is set.
    bool readSome(std::string& out, std::size_t max, Millis timeoutMs,
                  const Waker* interrupt = nullptr);
    // Bytes received and not yet read.
    std::size_t bytesWaiting() const;
    int fd() const { return m_fd.get(); }
    // The device has gone (a USB adapter pulled, a pseudo-terminal's other side closed): a read
    // found the end or an error, or a write failed. It will not come back on this descriptor.
    bool gone() const { return !m_goneWhy.empty(); }
    const std::string& goneWhy() const { return m_goneWhy; }

private:
    explicit SerialPort(UniqueFd fd) : m_fd(std::move(fd)) {}
    void close();
    void markGone(ssize_t result);
    UniqueFd m_fd;
    std::string m_goneWhy;
    bool m_restore = false;
    ::termios* m_original = nullptr;  // owned; the settings restored on close
};

// A serial port that is opened again when it goes away. A lost port is reported once on
// stderr, an attempt to open it is made every kRetryMs (by the clock the caller passes), and
// its return is reported once; in between, port() is null and the caller waits out its times.
class ReopeningSerialPort {
public:
    static constexpr Millis kRetryMs = 5000;

    // label names the port in reports ("serial output COM3").
    ReopeningSerialPort(std::string label, std::string path, SerialSettings settings,
                        std::optional<SerialPort> port);

    // The open port, after looking whether it has gone and, when due, trying to open it again.
    SerialPort* port(Millis now);
    // What port() last returned, without looking.
    SerialPort* current() { return m_port ? &*m_port : nullptr; }
    const std::string& path() const { return m_path; }
    int reopenings() const { return m_reopenings; }

private:
    std::string m_label;
    std::string m_path;
    SerialSettings m_settings;
    std::optional<SerialPort> m_port;
    Millis m_nextTry = 0;
    int m_reopenings = 0;
    bool m_wasOpen = false;
};

}  // namespace kormlink

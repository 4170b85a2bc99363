#include "platform/serial.h"
#include "platform/console_output.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kormlink {
namespace {

struct BaudRate {
    std::int32_t rate;
    speed_t code;
};
constexpr BaudRate kRates[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

speed_t nearestBaud(std::int32_t rate) {
    const BaudRate* best = &kRates[0];
    for (const BaudRate& r : kRates)
        if (std::labs(static_cast<long>(r.rate) - rate) <= std::labs(static_cast<long>(best->rate) - rate))
            best = &r;
    return best->code;
}

// Waits for readability of fd (or the waker) until the deadline: 1 ready, 0 time-out, -1 stop.
int waitReadable(int fd, Millis deadline, const Waker* interrupt) {
    for (;;) {
        Millis left = std::max<Millis>(deadline - steadyClock().now(), 0);
        pollfd p{fd, POLLIN, 0};
        int n = pollWith(interrupt, &p, 1, static_cast<int>(left));
        if (n < 0 && errno == EINTR && !(interrupt && interrupt->isSet())) continue;
        if (n < 0) return -1;
        if (n > 0 && p.revents) return 1;
        return 0;
    }
}

}  // namespace

SerialSettings readSerialSettings(const IniFile& ini, std::string_view section) {
    SerialSettings s;
    s.Baud = ini.readInteger(section, "Baud", 9600);
    s.DataBits = ini.readInteger(section, "DataBits", 8);
    s.Parity = ini.readInteger(section, "Parity", 0);
    s.StopBits = ini.readInteger(section, "StopBits", 0);
    s.FlowCtrl = ini.readInteger(section, "FlowCtrl", 0);
    return s;
}

void configureTermios(termios& t, const SerialSettings& s) {
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    switch (s.DataBits) {
        case 4:  // no 4-bit characters on Linux: the nearest is 5
        case 5: t.c_cflag |= CS5; break;
        case 6: t.c_cflag |= CS6; break;
        case 7: t.c_cflag |= CS7; break;
        default: t.c_cflag |= CS8; break;
    }
    if (s.Parity == 1) t.c_cflag |= PARENB | PARODD;
    if (s.Parity == 2) t.c_cflag |= PARENB;
    if (s.StopBits == 1 || s.StopBits == 2) t.c_cflag |= CSTOPB;  // 1.5 becomes 2
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (s.FlowCtrl == 1) t.c_iflag |= IXON | IXOFF;
    if (s.FlowCtrl == 2) t.c_cflag |= CRTSCTS;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    const speed_t speed = nearestBaud(s.Baud);
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
}

std::string serialDevicePath(const IniFile& ini, std::int32_t port) {
    if (port <= 0) return {};
    if (auto mapped = ini.value("Ports", "COM" + std::to_string(port))) return *mapped;
    return "/dev/ttyS" + std::to_string(port - 1);
}

bool serialDeviceExists(const std::string& path) {
    if (path.empty()) return false;
    // A /dev/ttyS node exists for every possible UART; only an open tells whether one is fitted.
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return errno == EBUSY;
    return ::isatty(fd.get()) == 1;
}

std::optional<SerialPort> SerialPort::open(const std::string& path, const SerialSettings& s,
                                           std::string* error) {
    auto fail = [&](const char* what) -> std::optional<SerialPort> {
        if (error) *error = std::string(what) + ": " + std::strerror(errno);
        return std::nullopt;
    };
    if (path.empty()) {
        errno = ENOENT;
        return fail("no port");
    }
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return fail("open");
    if (::ioctl(fd.get(), TIOCEXCL) != 0) return fail("exclusive access");
    termios original{};
    if (::tcgetattr(fd.get(), &original) != 0) return fail("not a serial port");

    termios t = original;
    configureTermios(t, s);
    if (::tcsetattr(fd.get(), TCSANOW, &t) != 0) return fail("settings");
    // DTR on with hardware flow control, DTR and RTS off otherwise. Pseudo-terminals have no
    // modem lines; their refusal is harmless.
    int lines = TIOCM_DTR | TIOCM_RTS;
    if (s.FlowCtrl == 2) ::ioctl(fd.get(), TIOCMBIS, &lines);
    else ::ioctl(fd.get(), TIOCMBIC, &lines);
    ::tcflush(fd.get(), TCIOFLUSH);

    SerialPort port(std::move(fd));
    port.m_original = new termios(original);
    port.m_restore = true;
    return port;
}

SerialPort::SerialPort(SerialPort&& other) noexcept
    : m_fd(std::move(other.m_fd)),
      m_goneWhy(std::move(other.m_goneWhy)),
      m_restore(other.m_restore),
      m_original(other.m_original) {
    other.m_restore = false;
    other.m_original = nullptr;
}

SerialPort& SerialPort::operator=(SerialPort&& other) noexcept {
    if (this != &other) {
        close();
        m_fd = std::move(other.m_fd);
        m_goneWhy = std::move(other.m_goneWhy);
        m_restore = other.m_restore;
        m_original = other.m_original;
        other.m_restore = false;
        other.m_original = nullptr;
    }
    return *this;
}

SerialPort::~SerialPort() { close(); }

void SerialPort::close() {
    if (m_fd && m_restore && m_original) {
        ::tcflush(m_fd.get(), TCIOFLUSH);
        ::tcsetattr(m_fd.get(), TCSANOW, m_original);
    }
    delete m_original;
    m_original = nullptr;
    m_restore = false;
    m_fd.reset();
}

void SerialPort::markGone(ssize_t result) {
    if (!m_goneWhy.empty()) return;
    m_goneWhy = result == 0 ? std::string("hung up") : std::string(std::strerror(errno));
}

bool SerialPort::write(std::string_view data, Millis timeoutMs, const Waker* interrupt) {
    const Millis deadline = steadyClock().now() + timeoutMs;
    while (!data.empty()) {
        ssize_t n = ::write(m_fd.get(), data.data(), data.size());
        if (n > 0) {
            data.remove_prefix(static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            markGone(n);
            return false;
        }
        Millis left = deadline - steadyClock().now();
        if (left <= 0) return false;
        pollfd p{m_fd.get(), POLLOUT, 0};
        const int ready = pollWith(interrupt, &p, 1, static_cast<int>(left));
        if (ready < 0 && (errno != EINTR || (interrupt && interrupt->isSet()))) return false;
    }
    return true;
}

void SerialPort::discardInput() {
    char buf[512];
    // Bounded: a receiver that never stops sending cannot hold the thread here.
    for (int i = 0; i < 128 && ::read(m_fd.get(), buf, sizeof buf) > 0; ++i) {
    }
    ::tcflush(m_fd.get(), TCIFLUSH);
}

void SerialPort::discardOutput() { ::tcflush(m_fd.get(), TCOFLUSH); }

bool SerialPort::waitForByte(char c, Millis timeoutMs, const Waker* interrupt) {
    const Millis deadline = steadyClock().now() + timeoutMs;
    char buf[256];
    for (;;) {
        int ready = waitReadable(m_fd.get(), deadline, interrupt);
        if (ready <= 0) return false;
        ssize_t n = ::read(m_fd.get(), buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            // A pseudo-terminal whose other side is closed reads as end of file: nothing will
            // come, so wait out the time instead of spinning.
            markGone(n);
            waitReadable(-1, deadline, interrupt);
            return false;
        }
        if (std::memchr(buf, c, static_cast<size_t>(n))) return true;
    }
}

bool SerialPort::readSome(std::string& out, std::size_t max, Millis timeoutMs,
                          const Waker* interrupt) {
    const Millis deadline = steadyClock().now() + timeoutMs;
    int ready = waitReadable(m_fd.get(), deadline, interrupt);
    if (ready < 0) return false;
    if (ready == 0) return true;
    char buf[512];
    ssize_t n = ::read(m_fd.get(), buf, std::min(sizeof buf, max));
    if (n > 0) {
        out.append(buf, static_cast<size_t>(n));
        return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    // Hung up (end of file, or EIO from a pseudo-terminal whose other side closed, or an
    // unplugged adapter): poll keeps reporting it readable, so wait out the time instead of
    // spinning.
    markGone(n);
    waitReadable(-1, deadline, interrupt);
    return true;
}

std::size_t SerialPort::bytesWaiting() const {
    int pending = 0;
    if (::ioctl(m_fd.get(), FIONREAD, &pending) != 0 || pending < 0) return 0;
    return static_cast<std::size_t>(pending);
}

ReopeningSerialPort::ReopeningSerialPort(std::string label, std::string path,
                                         SerialSettings settings, std::optional<SerialPort> port)
    : m_label(std::move(label)),
      m_path(std::move(path)),
      m_settings(settings),
      m_port(std::move(port)),
      m_wasOpen(m_port.has_value()) {}

SerialPort* ReopeningSerialPort::port(Millis now) {
    if (m_port && m_port->gone()) {
        consolePrintf(ConsoleStream::Err,
                      "Kormlink: %s (%s) has gone (%s); trying to open it again every %lld s\n",
                      m_label.c_str(), m_path.c_str(), m_port->goneWhy().c_str(),
                      static_cast<long long>(kRetryMs / 1000));
        m_port.reset();
        m_nextTry = now + kRetryMs;
    }
    if (!m_port && !m_path.empty() && now >= m_nextTry) {
        m_nextTry = now + kRetryMs;
        if (auto port = SerialPort::open(m_path, m_settings, nullptr)) {
            m_port = std::move(port);
            ++m_reopenings;
            consolePrintf(ConsoleStream::Err, "Kormlink: %s (%s) is open%s\n", m_label.c_str(),
                          m_path.c_str(), m_wasOpen ? " again" : "");
            m_wasOpen = true;
        }
    }
    return current();
}

}  // namespace kormlink

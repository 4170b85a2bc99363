#pragma once

// The event lines the field simulators exchange through the server.
//
// rptsim builds well-formed event lines (72 characters, numbered lines 74) whose positions 47-62
// carry the simulator's own data, which the server passes on unchanged for events that are no
// status lines:
//   47-54  the event's sequence number within its repeater, 8 hexadecimal digits (from 1)
//   55-62  the send time: wall-clock microseconds modulo 2^32, 8 hexadecimal digits (the count
//          wraps every 71 minutes; a latency is the signed 32-bit difference of two stamps)
// monsim reads them back to find gaps and repeats per repeater and the latency from send to
// receive (both programs run on the same machine, so their clocks agree).
//
// The rest of the layout: "COM" and the system digit at 1-4, "#4" at 13-14 on numbered lines,
// the local time stamp at 17-35, digit 1 at 39, the transmitter Id at 41-43, kind 1 at 44, the
// batch number at 64-67 on numbered lines, and the repeater's six-digit Id as the last word.
// Status lines (kind 0, digit 39 is 0, transmitter = low byte of the Id) carry their state in
// 47-62 instead.
//
// The server forwards the same radio event heard by several repeaters once: a line whose
// position 11, positions 41-62 and positions 69-70 equal those of the line last queued is
// dropped. Simulated repeaters therefore use distinct transmitter Ids (their own low twelve
// bits), so that their events never collide even when sent in the same microsecond.

#include <time.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace kormlink::sim {

// Wall-clock microseconds modulo 2^32: the send stamp of an event line.
inline std::uint32_t wallUs32() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000u +
                                      static_cast<std::uint64_t>(ts.tv_nsec) / 1000u);
}

// "YYYY/MM/DD hh:mm:ss" of the local time now.
inline std::string localStamp() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    tm t{};
    ::localtime_r(&ts.tv_sec, &t);
    char buf[80];  // room for any int values, so the compiler sees no truncation
    std::snprintf(buf, sizeof buf, "%04d/%02d/%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return buf;
}

namespace detail {
inline void put(std::string& line, std::size_t pos1, std::string_view text) {
    for (std::size_t i = 0; i < text.size() && pos1 - 1 + i < line.size(); ++i)
        line[pos1 - 1 + i] = text[i];
}
inline std::string hex(std::uint32_t v, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*X", digits, v);
    return std::string(buf).substr(std::string(buf).size() - static_cast<std::size_t>(digits));
}
inline void putId(std::string& line, std::uint32_t repeaterId) {
    line[line.size() - 7] = ' ';
    put(line, line.size() - 5, hex(repeaterId & 0xFFFFFF, 6));
}
inline std::optional<std::uint32_t> hexField(std::string_view line, std::size_t pos1,
                                             std::size_t len) {
    if (line.size() < pos1 - 1 + len) return std::nullopt;
    std::uint32_t v = 0;
    for (char c : line.substr(pos1 - 1, len)) {
        int d = (c >= '0' && c <= '9') ? c - '0'
                : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                         : -1;
        if (d < 0) return std::nullopt;
        v = v * 16 + static_cast<std::uint32_t>(d);
    }
    return v;
}
}  // namespace detail

// An event of repeater `repeaterId` (six hexadecimal digits are used). batchNumber >= 1 makes
// a numbered line ("#4", 74 characters); 0 a plain line (72 characters). `system` is the digit
// at position 4; `transmitter` the three-digit transmitter Id.
inline std::string eventLine(std::uint32_t repeaterId, std::uint32_t seq, std::uint32_t sentUs,
                             int batchNumber = 0, char system = '1',
                             std::uint32_t transmitter = 0x123,
                             const std::string& stamp = localStamp()) {
    std::string line(batchNumber > 0 ? 74 : 72, '-');
    detail::put(line, 1, "COM");
    line[3] = system;
    if (batchNumber > 0) detail::put(line, 13, "#4");
    detail::put(line, 17, stamp);
    line[38] = '1';
    detail::put(line, 41, detail::hex(transmitter & 0xFFF, 3));
    line[43] = '1';
    detail::put(line, 47, detail::hex(seq, 8));
    detail::put(line, 55, detail::hex(sentUs, 8));
    if (batchNumber > 0) detail::put(line, 64, detail::hex(static_cast<std::uint32_t>(batchNumber), 4));
    detail::putId(line, repeaterId);
    return line;
}

// A status line of the repeater: its report about itself, with 16 characters of state.
inline std::string statusLine(std::uint32_t repeaterId, std::string_view state16,
                              char system = '1', const std::string& stamp = localStamp()) {
    std::string line(72, '-');
    detail::put(line, 1, "COM");
    line[3] = system;
    detail::put(line, 17, stamp);
    line[38] = '0';
    detail::put(line, 41, "0" + detail::hex(repeaterId & 0xFF, 2));
    line[43] = '0';
    detail::put(line, 47, state16.substr(0, 16));
    detail::putId(line, repeaterId);
    return line;
}

struct SimEvent {
    std::uint32_t repeaterId = 0;
    std::uint32_t seq = 0;
    std::uint32_t sentUs = 0;  // wallUs32() when it was sent
};

// The simulator data of an event line as the server delivers it; nullopt for status lines and
// lines that are not the simulator's.
inline std::optional<SimEvent> parseEvent(std::string_view line) {
    if (line.size() < 72 || line.substr(0, 3) != "COM") return std::nullopt;
    // A status line: digit 39 is 0 and the kind's low three bits are 0 ("0" as the repeater
    // sent it, "8" when the server passes an unchanged one on again after the test time).
    if (line[38] == '0' && (line[43] == '0' || line[43] == '8')) return std::nullopt;
    const std::size_t blank = line.rfind(' ');
    if (blank == std::string_view::npos || line.size() - blank - 1 != 6) return std::nullopt;
    auto id = detail::hexField(line, blank + 2, 6);
    auto seq = detail::hexField(line, 47, 8);
    auto sent = detail::hexField(line, 55, 8);
    if (!id || !seq || !sent) return std::nullopt;
    return SimEvent{*id, *seq, *sent};
}

}  // namespace kormlink::sim

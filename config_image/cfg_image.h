#pragma once

// The repeater's configuration image: the memory the server reads from and writes to a
// repeater as a whole, held as four areas and eight per-channel slot records.
//
// Device address space (16-bit):
//   0x0000-0x0FFF  address mask table, byte a = address a, bit k-1 = channel k (0 = enabled)
//   0x1000-0x103F  general block (64 bytes)
//   0x1100-0x119F  network block (160 bytes)
//   base(k) ..     slot block of channel k (k = 1..8), base(k) = 0x1280 + 0xE6 * (k - 1):
//                  record 0-65 at base+0..65, record 66-130 at base+113..177, record 131 at
//                  base+185; the addresses between are gaps.
//
// The image is a plain value. The editor owns one; a connection thread reads or fills it only
// while the command window waits for it (TransferState), so it takes no lock; TransferState
// and ChannelPresent are single bytes that cross threads and are atomic.

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kormlink {

inline constexpr int kChannels = 8;
inline constexpr std::size_t kSlotRecSize = 186;   // bytes 0-131 carry data
inline constexpr std::uint16_t kMaskFirst = 0x0000, kMaskLast = 0x0FFF;
inline constexpr std::uint16_t kGeneralFirst = 0x1000, kGeneralLast = 0x103F;
inline constexpr std::uint16_t kNetworkFirst = 0x1100, kNetworkLast = 0x119F;

// The first device address of channel k's slot block (k = 1..8).
constexpr std::uint16_t slotBase(int k) { return static_cast<std::uint16_t>(0x1280 + 0xE6 * (k - 1)); }

using tSlotRec = std::array<std::uint8_t, kSlotRecSize>;

// TransferState values.
enum : std::uint8_t {
    kTransferWaiting = 0,
    kTransferDone = 1,
    kTransferImageTaken = 2,
    kTransferFailed = 0xFF,
};

struct tCfgImage {
    std::array<std::uint8_t, 64> General{};
    std::array<std::uint8_t, 160> Network{};
    std::array<std::uint8_t, 4096> Mask{};
    std::array<tSlotRec, kChannels> Slots{};  // channel k at index k - 1; zero-filled
    std::uint8_t CurrentChannel = 0;          // 1-8: the channel the Slots page shows
    std::atomic<std::uint8_t> TransferState{kTransferWaiting};
    std::array<std::atomic<std::uint8_t>, kChannels> ChannelPresent{};  // non-zero: present

    // Every byte of every area and record set to value (ChannelPresent and the rest untouched).
    void fill(std::uint8_t value);
};

// The text-to-number rule of every edit field and of HEX record fields: leading blanks
// skipped, an optional sign, then decimal digits, or hexadecimal digits (either case) after
// "$". An empty text gives 0. For a malformed text the digits read up to the first character
// that does not belong are taken ("12x" gives 12; a sign or "$" without digits gives 0), and
// ok (when given) is set to false. The caller keeps the low 8 or 16 bits.
std::int64_t textToNumber(std::string_view text, bool* ok = nullptr);

}  // namespace kormlink

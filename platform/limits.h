#pragma once

// The process's own limits that bound how many connections it can hold.

#include <cstdint>

namespace kormlink {

struct DescriptorLimit {
    std::uint64_t before = 0;  // the soft limit the process was started with
    std::uint64_t now = 0;     // the soft limit after raising it
    bool raised = false;
};

// Raises the soft limit on open descriptors to the hard limit: a stock desktop starts programs
// with 1,024, enough for about 500 repeaters, while the hard limit is usually far higher.
DescriptorLimit raiseDescriptorLimit();

// Descriptors the program needs besides its connections: listeners, logs, journals, the
// console, the serial ports, the wakers of the output clients and a margin.
inline constexpr std::uint64_t kReservedDescriptors = 64;

}  // namespace kormlink

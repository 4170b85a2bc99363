#include "platform/clock.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <thread>

namespace kormlink {

Millis SteadyClock::now() const {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

Millis OffsetClock::now() const { return steadyClock().now() + m_offset.load(); }

Clock& steadyClock() {
    static SteadyClock clock;
    return clock;
}

void sleepMs(Millis ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool pauseUnlessWoken(int wakeFd, Millis ms) {
    const Millis deadline = steadyClock().now() + std::max<Millis>(ms, 0);
    for (;;) {
        const Millis left = std::max<Millis>(deadline - steadyClock().now(), 0);
        pollfd p{wakeFd, POLLIN, 0};
        const int n = ::poll(&p, 1, static_cast<int>(std::min<Millis>(left, INT_MAX)));
        if (n == 0) return true;
        if (n > 0) return false;
        if (errno != EINTR) return false;  // the waker is broken: treat it as a stop
    }
}

}  // namespace kormlink

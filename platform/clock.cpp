#include "platform/clock.h"

#include <chrono>
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

}  // namespace kormlink

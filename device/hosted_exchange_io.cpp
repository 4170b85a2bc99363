#include "device/hosted_exchange_io.h"

#include <poll.h>

#include <atomic>
#include <climits>
#include <memory>

#include "core/main_thread.h"
#include "core/operator_view.h"
#include "core/daily_logs.h"

namespace kormlink {

void HostedExchangeIo::pauseMs(Millis ms) {
    pauseUnlessWoken(m_stop, ms);  // a signal does not cut the line pacing short
}

void HostedExchangeIo::show(const std::string& text) {
    m_host.mainThread().call([&] { m_host.view().ShowInCommandWindow(text); });
}

void HostedExchangeIo::writeEventLog(const std::string& text) {
    m_host.mainThread().call([&] { m_host.logs().WriteEventLog(text); });
}

void HostedExchangeIo::errorBox(const std::string& text) {
    auto closed = std::make_shared<std::atomic<bool>>(false);
    m_host.mainThread().call(
        [&] { m_host.view().showMessageBox("Error", text, [closed] { *closed = true; }); });
    while (!*closed && !m_stop.isSet()) pauseMs(100);
}

}  // namespace kormlink

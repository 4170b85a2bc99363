#include "repeater_link/log_budget.h"

#include "core/daily_logs.h"
#include "core/event_line.h"
#include "core/operator_view.h"
#include "core/server_host.h"

namespace kormlink {

void LogBudget::write(ServerHost& host, const std::string& who, std::string_view logText,
                      std::string_view shown) {
    report(host, who);
    const Millis now = host.clock().now();
    if (m_written == 0 || now - m_minuteStart >= kMinuteMs) {
        m_minuteStart = now;
        m_written = 0;
    }
    if (m_written >= kLinesPerMinute) {
        ++m_dropped;
        ++host.counters().linesNotLogged;
        m_reportAt = m_minuteStart + kMinuteMs;
        return;
    }
    ++m_written;
    if (!logText.empty()) host.logs().WriteStatusLog(logText);
    if (!shown.empty()) host.view().ShowInCommandWindow(escapeControlBytes(shown));
}

void LogBudget::report(ServerHost& host, const std::string& who, bool final) {
    if (m_dropped == 0) return;
    if (!final && host.clock().now() < m_reportAt.load()) return;
    const std::string text = who + ": " + std::to_string(m_dropped) + " line" +
                             (m_dropped == 1 ? "" : "s") + " not logged (more than " +
                             std::to_string(kLinesPerMinute) + " a minute)";
    m_dropped = 0;
    m_reportAt = 0;
    host.logs().WriteStatusLog(text);
    host.view().ShowInCommandWindow(text);
}

}  // namespace kormlink

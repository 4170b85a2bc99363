#include "repeater_link/status_lines.h"

namespace kormlink {
namespace {
constexpr std::size_t kStateFrom = 46;  // positions 47-62
constexpr std::size_t kStateLen = 16;
constexpr std::size_t kKindIndex = 43;  // position 44
}  // namespace

bool StatusLines::take(const std::string& line, const EventFields& fields) {
    if (fields.hasIdWord) StatusFlag = 8;
    if (!fields.isStatus()) return false;
    if (PrevStatus.size() >= kStateFrom + kStateLen) {
        if (line.size() < kStateFrom + kStateLen ||
            PrevStatus.compare(kStateFrom, kStateLen, line, kStateFrom, kStateLen) != 0) {
            StatusFlag = 0;
            m_forwardDue = true;
        }
    } else if (m_forceFirst) {
        m_forwardDue = true;
    }
    PrevStatus = line;
    return true;
}

std::optional<std::string> StatusLines::due(Millis now, std::int64_t testTime, const LocalTime& t) {
    if (PrevStatus.empty()) return std::nullopt;
    if (!m_forwardDue && now - LastForward <= testTime) return std::nullopt;
    LastForward = now;
    m_forwardDue = false;
    std::string line = PrevStatus;
    if (line.size() >= kTimeStampPos - 1 + kTimeStampLen)
        line.replace(kTimeStampPos - 1, kTimeStampLen, formatTimeStamp(t));
    if (line.size() > kKindIndex) line[kKindIndex] = StatusFlag == 8 ? '8' : '0';
    return line;
}

void StatusLines::offer(const std::string& line, const EventFields& fields, Millis now,
                        std::int64_t testTime, const LocalTime& t,
                        const std::function<void(std::string)>& forward) {
    if (!take(line, fields)) forward(line);
    if (auto repeated = due(now, testTime, t)) forward(std::move(*repeated));
}

}  // namespace kormlink

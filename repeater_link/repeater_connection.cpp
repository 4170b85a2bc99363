#include "repeater_link/repeater_connection.h"

namespace kormlink {

void RepeaterConnection::setPendingCmd(std::string cmd) {
    std::lock_guard lock(m_cmdMutex);
    m_pendingCmd = std::move(cmd);
}

std::string RepeaterConnection::takePendingCmd() {
    std::lock_guard lock(m_cmdMutex);
    std::string cmd;
    cmd.swap(m_pendingCmd);
    return cmd;
}

std::string RepeaterConnection::pendingCmd() const {
    std::lock_guard lock(m_cmdMutex);
    return m_pendingCmd;
}

}  // namespace kormlink

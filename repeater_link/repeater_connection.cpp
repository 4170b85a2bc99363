#include "repeater_link/repeater_connection.h"

#include "device/program_editor.h"

namespace kormlink {

void RepeaterConnection::setPendingCmd(std::string cmd, std::shared_ptr<ProgramEditor> editor) {
    std::lock_guard lock(m_cmdMutex);
    m_pendingCmd = std::move(cmd);
    m_editor = std::move(editor);
}

void RepeaterConnection::keepPendingCmd(std::string cmd, std::shared_ptr<ProgramEditor> editor) {
    std::lock_guard lock(m_cmdMutex);
    if (!m_pendingCmd.empty()) return;
    m_pendingCmd = std::move(cmd);
    m_editor = std::move(editor);
}

std::pair<std::string, std::shared_ptr<ProgramEditor>> RepeaterConnection::takePendingCmd() {
    std::lock_guard lock(m_cmdMutex);
    std::pair<std::string, std::shared_ptr<ProgramEditor>> taken;
    taken.first.swap(m_pendingCmd);
    taken.second.swap(m_editor);
    return taken;
}

bool RepeaterConnection::withdrawPendingCmd(const ProgramEditor* editor) {
    std::lock_guard lock(m_cmdMutex);
    if (!editor || m_editor.get() != editor) return false;
    m_pendingCmd.clear();
    m_editor.reset();
    return true;
}

bool RepeaterConnection::hasPendingCmd() const {
    std::lock_guard lock(m_cmdMutex);
    return !m_pendingCmd.empty();
}

std::string RepeaterConnection::pendingCmd() const {
    std::lock_guard lock(m_cmdMutex);
    return m_pendingCmd;
}

}  // namespace kormlink

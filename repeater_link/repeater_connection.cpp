#include "repeater_link/repeater_connection.h"

#include "core/event_line.h"
#include "core/main_thread.h"
#include "core/scope_exit.h"
#include "core/server_host.h"
#include "device/program_editor.h"
#include "platform/console_output.h"
#include "repeater_link/host_list.h"

namespace kormlink {

void RepeaterConnection::leaveRegistry(ServerHost& host, const std::function<void()>& lastWrites) {
    host.mainThread().callEndStep([&] {
        {
            ScopeExit leave([&] {
                Closed = true;
                if (tHostList* list = host.hostList()) list->UnregisterConnection(this);
                InRegistry = false;
            });
            try {
                lastWrites();
            } catch (...) {
                // a lost log line must not keep the connection in the registry
            }
        }
        host.ShowConnectionCount();
    });
}

void RepeaterConnection::setPendingCmd(std::string cmd, std::shared_ptr<ProgramEditor> editor) {
    std::lock_guard lock(m_cmdMutex);
    if (m_refused) return;  // the caller has been told by the registry's lookup
    m_pendingCmd = std::move(cmd);
    m_editor = std::move(editor);
}

void RepeaterConnection::keepPendingCmd(std::string cmd, std::shared_ptr<ProgramEditor> editor) {
    std::lock_guard lock(m_cmdMutex);
    if (m_refused) {
        // The second step of a request taken before the Id became contested (the firmware
        // upload after its version check, or a command whose answer was withheld).
        consolePrintf(ConsoleStream::Err,
                      "Kormlink: Id %s is claimed by more than one address; the rest of a "
                      "command for it was dropped\n",
                      hexId(HpId.load()).c_str());
        if (editor) editor->image().TransferState = kTransferFailed;
        return;
    }
    if (!m_pendingCmd.empty()) return;
    m_pendingCmd = std::move(cmd);
    m_editor = std::move(editor);
}

std::pair<std::string, std::shared_ptr<ProgramEditor>> RepeaterConnection::takePendingCmd() {
    std::lock_guard lock(m_cmdMutex);
    std::pair<std::string, std::shared_ptr<ProgramEditor>> taken;
    if (m_refused) return taken;
    taken.first.swap(m_pendingCmd);
    taken.second.swap(m_editor);
    return taken;
}

std::pair<std::string, std::shared_ptr<ProgramEditor>> RepeaterConnection::refuseCommands(
    bool refuse) {
    std::lock_guard lock(m_cmdMutex);
    m_refused = refuse;
    std::pair<std::string, std::shared_ptr<ProgramEditor>> taken;
    if (!refuse) return taken;
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

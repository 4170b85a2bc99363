#pragma once

// Holds a repeater connection's answers until what they acknowledge is kept.
//
// A repeater takes an answer to an event line (an empty line, a command in its place, or the
// "D<n>/" of a batch) as the promise that the server has the event. So the connection logs and
// routes an event line before its answer leaves, and that answer waits until the journals
// hold the routed line (in the fsync mode: until the sync covering it returned). When a
// journal cannot be written, the answer is not sent at all: the repeater sends the event again,
// and is answered once the journal works again.
//
// The connection sends everything through admit(): while a received event line is being
// answered the text is held, and release() first processes the line (log, route) and then
// hands back the held bytes. While a journal is known to fail, the connection processes the
// line first and, when what it would acknowledge is not kept, skips the response altogether
// (respondTo()), so a pending command or due time command is not spent on an answer that never
// leaves. An exchange that reads replies releases the hold before its first
// read, so its first line too leaves only after the event was processed. The bytes, their
// order and the log records are exactly as without the gate; only the moment of sending moves.
//
// Connection thread, except noteRouted(), which runs in the main-thread hand-over that routed
// lines for the connection (the connection waits for that hand-over to end).

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>

#include "core/server_host.h"

namespace kormlink {

class AnswerGate {
public:
    explicit AnswerGate(ServerHost& host) : m_host(host) {}

    // Main thread: lines were routed for this connection; its next answer waits for them.
    void noteRouted() {
        const JournalReceipt receipt = m_host.journalReceipt();
        m_receipt.from = m_pending ? std::min(m_receipt.from, receipt.from) : receipt.from;
        m_receipt.ticket = receipt.ticket;
        m_receipt.journals = (m_pending ? m_receipt.journals : 0) | receipt.journals;
        m_kept = m_kept && receipt.kept;
        m_pending = true;
    }

    // True when text should be sent now. False when it was held, or withheld because the
    // lines it acknowledges are not kept.
    bool admit(const std::string& text) {
        if (m_holding) {
            m_held += text;
            return false;
        }
        return pass();
    }

    // Ends a hold: processes the line, then returns the held bytes when they may leave, ""
    // otherwise. Nothing held: "".
    std::string release() {
        if (!m_holding) return {};
        m_holding = false;
        std::function<void()> process = std::move(m_process);
        m_process = nullptr;
        std::string bytes = std::move(m_held);
        m_held.clear();
        if (process) process();
        if (bytes.empty() || !pass()) return {};
        return bytes;
    }

    enum class Pass { Answered, Withheld };
    // One response step for a received line other than a numbered event line. event: the line
    // begins with "COM"; process logs and routes it; respond runs the response step, whose
    // sends go through admit(); release sends what release() hands back. While a journal
    // fails, the line is processed first and, when what the pass would acknowledge is not
    // kept, the response step is skipped (Withheld): nothing is sent and nothing is spent.
    template <typename Process, typename Respond, typename Release>
    Pass respondTo(bool event, Process process, Respond respond, Release release) {
        if ((event || m_pending) && !m_host.journalsHealthy()) {
            if (event) process();
            if (m_pending && !m_kept) {
                ++m_withheld;
                m_pending = false;
                m_kept = true;
                return Pass::Withheld;
            }
        } else if (event) {
            hold(process);
        }
        respond();
        release();
        m_onWithheld = nullptr;
        return Pass::Answered;
    }

    // Called when the answer of this pass is withheld after all, to take back what the
    // response step spent (a plain command goes back to pending).
    void onWithheld(std::function<void()> undo) { m_onWithheld = std::move(undo); }

    // Whether the answer to the lines routed so far may leave now; counts it when withheld.
    // For an answer sent by the main thread once the batch that routed the lines has written
    // (and synced) them, so the check does not wait.
    bool mayAnswer() { return pass(); }

    // Answers not sent because their lines were not kept.
    std::uint64_t withheld() const { return m_withheld; }

private:
    // Holds what the connection sends until release(); process runs at the start of it.
    void hold(std::function<void()> process) {
        m_holding = true;
        m_process = std::move(process);
    }

    // The first send after routed lines acknowledges them.
    bool pass() {
        if (!m_pending) return true;
        m_pending = false;
        const bool kept = m_kept && m_host.awaitJournal(m_receipt);
        m_kept = true;
        if (!kept) {
            ++m_withheld;
            if (auto undo = std::move(m_onWithheld)) undo();
            m_onWithheld = nullptr;
        }
        return kept;
    }

    ServerHost& m_host;
    bool m_holding = false;
    std::function<void()> m_process;
    std::function<void()> m_onWithheld;
    std::string m_held;
    bool m_pending = false;
    bool m_kept = true;
    JournalReceipt m_receipt;  // of the lines routed since the last answer
    std::uint64_t m_withheld = 0;
};

}  // namespace kormlink

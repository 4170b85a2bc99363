#pragma once

// TFCmd ("Commands"): where the operator talks to one repeater. AdrBox takes the repeater's Id
// (its list offers the connected repeaters when it opens), CmdBox the command line (its list
// holds the values of section Commands of the configuration file); Enter hands the line to that
// repeater's connection, which sends it after the repeater's next line. The tool buttons run the
// firmware update (ToolButton3 "Update"), the programming of a repeater's configuration
// (ToolButton4 "Prog": download, the editor, upload), the editor without a repeater
// (ToolButton5 "Edit"), the configuration upload by typed Id and code (the hidden ToolButton6
// "upee", Ctrl+U) and the choice of the traced repeater (ToolButton7 "DBG"); ToolButton8
// "Close" (Ctrl+W) closes the window. Memo1 shows what the connections report. At most one
// exists; the main window owns it.
//
// While a programming request waits for its repeater the window keeps working, but a second
// Prog, Edit, Update or upee, and a command line for the same repeater, are refused: one
// editor at a time. A wait ends when the connection has done its part, when the connection
// ends, after kProgWaitMs in which the connection neither took the request nor reported
// progress, or when the operator presses Escape or closes the window.
//
// Closing the window while one of its sequences runs (a modal dialog or a wait is open) only
// hides it; it is deleted when the sequence is over, since the sequence's dialogs live inside
// it.
//
// Main thread only.

#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class QComboBox;
class QPlainTextEdit;
class QToolButton;

namespace kormlink {

class Completion;
class ProgramEditor;
class RepeaterConnection;
class Server;
struct tCfgImage;

class TFCmd final : public QWidget {
    Q_OBJECT
public:
    // Lines kept in Memo1; older ones scroll away.
    static constexpr int kMaxMemoLines = 10'000;
    // How long a programming request may wait for the connection to take it, and then between
    // two lines the exchange reports: the longest silence an exchange allows, and a margin.
    static constexpr int kProgWaitMs = 90'000;

    // startTrace: the DBG sequence chose this repeater to trace.
    TFCmd(Server& server, std::function<void(std::uint32_t)> startTrace,
          QWidget* parent = nullptr);

    // One line of a connection's report.
    void ShowInCommandWindow(const std::string& text);
    QStringList lines() const;

    // The operator's actions.
    void handOver();         // Enter in CmdBox
    void updateSequence();   // "Update"
    void upeeSequence();     // "upee"
    void dbgSequence();      // "DBG"
    void progSequence();     // "Prog"
    void editSequence();     // "Edit"

    // True while a programming request waits or its editor is open.
    bool busy() const { return m_busyId != 0; }
    // Tests shorten the wait.
    void setProgWaitMs(int ms) { m_progWaitMs = ms; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // Marks a sequence as running for as long as it lives; the last one to end deletes a window
    // that was closed meanwhile.
    struct SequenceScope {
        explicit SequenceScope(TFCmd& window);
        ~SequenceScope();
        TFCmd& window;
    };

    enum class WaitEnd { Done, ConnectionEnded, TimedOut, GivenUp };
    // Runs the window system until the editor's TransferState satisfies done, the connection
    // ends, the bound passes or the operator gives up; the connection is the one found for the
    // request (checked against the registry before every use).
    WaitEnd waitForTransfer(const tCfgImage& image, RepeaterConnection* connection,
                            const std::string& handedOver, bool (*done)(std::uint8_t));
    bool stillRegistered(RepeaterConnection* connection,
                         const std::shared_ptr<Completion>& completion) const;
    // Says why a wait ended early; withdraws the request when the connection has not taken it.
    void reportWaitEnd(WaitEnd end, std::uint32_t id, RepeaterConnection* connection,
                       const std::shared_ptr<Completion>& completion,
                       const ProgramEditor* editor);
    // A message and true while busy.
    bool refuseWhileBusy();

    // The first connection with the Id (the last one when fromEnd), or nullptr after writing
    // "%x: No connection" or, for an Id claimed from more than one address, why commands are
    // refused.
    RepeaterConnection* findConnection(std::uint32_t id, bool fromEnd);
    std::vector<std::uint32_t> connectedIds() const;

    Server& m_server;
    std::function<void(std::uint32_t)> m_startTrace;
    QComboBox* m_address;
    QComboBox* m_command;
    QPlainTextEdit* m_memo;
    QString m_openFile = QStringLiteral("*.hex");  // the last HEX file chosen here
    std::uint32_t m_busyId = 0;  // the repeater of the programming request under way
    int m_progWaitMs = kProgWaitMs;
    bool m_giveUp = false;       // Escape or the close box during a wait
    bool m_closeWanted = false;  // closed while a sequence ran: deleted after it
    int m_sequences = 0;         // sequences running (nested in modal dialogs and waits)
    std::uint64_t m_shownLines = 0;  // lines shown so far, the progress of an exchange
};

}  // namespace kormlink

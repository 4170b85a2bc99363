#pragma once

// TFCmd ("Commands"): where the operator talks to one repeater. AdrBox takes the repeater's Id
// (its list offers the connected repeaters when it opens), CmdBox the command line (its list
// holds the values of section Commands of the configuration file); Enter hands the line to that
// repeater's connection, which sends it after the repeater's next line. The tool buttons run the
// firmware update (ToolButton3 "Update"), the configuration upload by typed Id and code (the
// hidden ToolButton6 "upee", Ctrl+U) and the choice of the traced repeater (ToolButton7 "DBG").
// Memo1 shows what the connections report. At most one exists; the main window owns it.
//
// Main thread only.

#include <QWidget>

#include <cstdint>
#include <functional>
#include <string>

class QComboBox;
class QPlainTextEdit;
class QToolButton;

namespace kormlink {

class RepeaterConnection;
class Server;

class TFCmd final : public QWidget {
    Q_OBJECT
public:
    // Lines kept in Memo1; older ones scroll away.
    static constexpr int kMaxMemoLines = 10'000;

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

private:
    // The first connection with the Id (the last one when fromEnd), or nullptr after writing
    // "%x: No connection".
    RepeaterConnection* findConnection(std::uint32_t id, bool fromEnd);
    std::vector<std::uint32_t> connectedIds() const;

    Server& m_server;
    std::function<void(std::uint32_t)> m_startTrace;
    QComboBox* m_address;
    QComboBox* m_command;
    QPlainTextEdit* m_memo;
};

}  // namespace kormlink

#pragma once

// What the server shows the operator. The desktop window and the headless console each
// implement it. Every method is called on the main thread only.

#include <cstddef>
#include <functional>
#include <string>

namespace kormlink {

enum class TraceDirection { Received, Sent };

class OperatorView {
public:
    virtual ~OperatorView() = default;

    // Appends one line to the command window's output (ignored while no command window exists).
    virtual void ShowInCommandWindow(const std::string& text) = 0;
    // Raw text exchanged with the traced repeater, as received or sent (line end included).
    virtual void traceText(TraceDirection direction, const std::string& text) = 0;
    // A message box; headless, "caption: text" on stderr. It never blocks the main thread:
    // closed() runs (on the main thread) when the operator has closed it, at once headless.
    virtual void showMessageBox(const std::string& caption, const std::string& text,
                                std::function<void()> closed = {}) = 0;
    // The connection registry changed size (new rows for the connection list, the counter).
    virtual void connectionCountChanged(std::size_t count) = 0;
    // The channel list or a channel's attached state changed: redraw the channel view now.
    virtual void channelsChanged() {}
};

// Shows nothing; for tools and for tests that do not look.
class NullOperatorView : public OperatorView {
public:
    void ShowInCommandWindow(const std::string&) override {}
    void traceText(TraceDirection, const std::string&) override {}
    void showMessageBox(const std::string&, const std::string&,
                        std::function<void()> closed) override {
        if (closed) closed();
    }
    void connectionCountChanged(std::size_t) override {}
};

}  // namespace kormlink

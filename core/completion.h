#pragma once

// A connection's completion latch, shared by the input and the output side.

#include <atomic>

namespace kormlink {

// Set once when a connection has finished with everything it shares. Whoever stops a
// connection takes this before requesting termination and waits on it, never on the
// connection object, which disposes of itself when it ends.
class Completion {
public:
    void set() { m_done.store(true); }
    bool isSet() const { return m_done.load(); }

private:
    std::atomic<bool> m_done{false};
};

}  // namespace kormlink

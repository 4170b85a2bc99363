#pragma once

#include <utility>

namespace kormlink {

// Runs a step when the scope is left, however it is left (an end step that must happen).
template <typename F>
class ScopeExit {
public:
    explicit ScopeExit(F fn) : m_fn(std::move(fn)) {}
    ~ScopeExit() { m_fn(); }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

private:
    F m_fn;
};

}  // namespace kormlink

#pragma once

// Runs a cleanup when the scope ends, also when a handler throws.

#include <utility>

template <typename F> class ScopeExit {
public:
    explicit ScopeExit(F fn) : m_fn(std::move(fn)) {}
    ~ScopeExit() { m_fn(); }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

private:
    F m_fn;
};

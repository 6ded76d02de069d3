// Two small RAII helpers of the XA bridge: a scope-exit step and a COM
// reference that calls Release.
#pragma once

#include <utility>

// Runs a step on every way out of a scope, an exception included. The step
// must not throw (it runs inside a destructor).
template <typename Step>
struct ScopeExit {
    explicit ScopeExit(Step s) : step(std::move(s)) {}
    ~ScopeExit() { step(); }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    Step step;
};

// Holds one reference to a COM-style interface and gives it back with Release.
// The address of `pointer` is what an out-parameter fills.
template <typename T>
struct ComRef {
    ComRef() = default;
    ~ComRef() { reset(); }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    void reset() {
        if (pointer != nullptr) {
            T* held = pointer;
            pointer = nullptr;
            held->Release();
        }
    }
    T* pointer = nullptr;  // the held interface, or null
};

// Global operator new/delete replacements for tests: count allocations while
// counting is on, and fail the n-th allocation on demand with std::bad_alloc.
#pragma once

#include <cstddef>

namespace alloc_probe {

// Starts counting from zero; allocations made from now on are counted.
void start();
// Stops counting and returns the number counted since start().
size_t stop();
// While counting, the n-th allocation (1-based) throws std::bad_alloc; 0 never.
void fail_at(size_t n);

// Counts allocations over a scope.
class Scope {
public:
    Scope() { start(); }
    ~Scope() { stop(); }
    size_t count() const;
};

}  // namespace alloc_probe

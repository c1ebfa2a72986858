// Turns bytes into a host session: a sequence of interface calls with
// arbitrary values, device loss and reset at any point, and refused device
// calls, checking after every call what a host relies on. Used by the fuzz
// harness and, through the saved inputs, by the robustness suite.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace call_sequence {

// Runs the session the bytes describe on a fresh software device and releases
// it at the end. Returns an empty string when every check held, otherwise the
// first violation with the calls that led to it.
std::string run(const uint8_t* data, size_t size);

}  // namespace call_sequence

// libFuzzer entry: every input is a host session (see call_sequence.h); a
// failed check aborts with the calls that led to it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/call_sequence.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string problem = call_sequence::run(data, size);
    if (!problem.empty()) {
        std::fprintf(stderr, "lightvol check failed: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}

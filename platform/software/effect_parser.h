// Reader for the subset of the D3DX effect language the software device
// compiles: object-like #define, global float parameters (float, float2,
// float3, float4, float4x4, optionally arrays), struct declarations and
// function definitions (skipped; the shaders are native), and techniques
// whose passes name their shaders with `compile PROFILE ENTRY()`.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace lightvol_sw {
namespace detail {

struct ParsedParameter {
    std::string name;
    size_t floats_per_element = 0;
    size_t elements = 1;
    int line = 0;
};

struct ParsedShaderRef {
    std::string profile;
    std::string entry;
    int line = 0;
};

struct ParsedPass {
    std::string name;
    ParsedShaderRef vertex_shader;  // entry empty when the pass sets none
    ParsedShaderRef pixel_shader;
};

struct ParsedTechnique {
    std::string name;
    int line = 0;
    std::vector<ParsedPass> passes;
};

struct ParsedFunction {
    std::string name;
    int line = 0;
};

struct ParsedEffect {
    std::vector<ParsedParameter> parameters;
    std::vector<ParsedTechnique> techniques;
    std::vector<ParsedFunction> functions;
};

struct Macro {
    std::string name;
    std::string value;
};

// Parses `length` bytes of `text`. On failure returns false and sets `error`
// to "effect(LINE): error: PROBLEM".
bool parse_effect(const char* text, size_t length, const std::vector<Macro>& predefined,
                  ParsedEffect& out, std::string& error);

}  // namespace detail
}  // namespace lightvol_sw

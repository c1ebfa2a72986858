// The light effect's two shaders as built-in vs_2_0 / ps_2_0 bytecode, for
// devices whose D3DX cannot compile the effect text. They compute what the
// effect's VS and PS compute; the constants they read are float4 registers:
//
//   vertex program  c[light_world2scr_register]       world2scr
//                   c[light_info_register + i]        light_info[i]  (xyz)
//                   c[light_color_register + i]       light_color[i] (xyz)
//   pixel program   no device constants
//
// The vertex's z is the light's slot in its batch; mova rounds it into the
// address register, as the compiled effect does for light_info[input.pos.z].
#pragma once

#include <cstddef>

#include "device/batch_num.h"
#include "platform/d3d9_api.h"

constexpr UINT light_world2scr_register = 0;
constexpr UINT light_info_register = 1;
constexpr UINT light_color_register = light_info_register + BATCH_NUM;
// Registers c0 up to this one (exclusive) are what a frame may change.
constexpr UINT light_program_registers = light_color_register + BATCH_NUM;

extern const DWORD light_vertex_program[];
extern const size_t light_vertex_program_tokens;
extern const DWORD light_pixel_program[];
extern const size_t light_pixel_program_tokens;

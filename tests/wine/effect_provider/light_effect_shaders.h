// The assembly text of the light effect's two shaders, exactly as it stands in
// the comments of device/light_program_code.cpp beside the module's built-in
// bytecode (a native test holds the two together). The Wine tier assembles it
// with Wine's D3DXAssembleShader and compares the result with that bytecode;
// the test effect provider runs it as its compiled effect.
//
//   vertex shader  c0          world2scr (x, y offset; z, w scale)
//                  c1..c100    light_info[i]  (chord radius, centre x, centre y)
//                  c101..c200  light_color[i] (red, green, blue)
//                  c201        literals (0, 1, 0.5, 1)
//   pixel shader   c0          literals (1, 0, 0, 0)
//
// The vertex's z is the light's index in its batch; mova rounds it to the
// address register, as the compiled effect does for light_info[input.pos.z].
#pragma once

namespace provider {

constexpr unsigned world2scr_register = 0;
constexpr unsigned light_info_register = 1;
constexpr unsigned light_color_register = 101;
constexpr unsigned batch_capacity = 100;

constexpr const char light_vertex_shader_asm[] =
    "vs_2_0\n"
    "dcl_position v0\n"
    "def c201, 0, 1, 0.5, 1\n"
    "mova a0.x, v0.z\n"
    "mov r0, c1[a0.x]\n"               // info = light_info[z]
    "mad r1.xy, v0.xy, r0.x, r0.yz\n"  // world_pos = pos.xy * info.x + info.yz
    "add r1.xy, r1.xy, -c0.xy\n"       // world_pos - world2scr.xy
    "mul oPos.xy, r1.xy, c0.zw\n"      // ... * world2scr.zw
    "mov oPos.zw, c201\n"              // (scr_pos, 0.5, 1)
    "mov oT0.xyz, c101[a0.x]\n"        // color = (light_color[z], 1)
    "mov oT0.w, c201.w\n"
    "mov oT1.xy, v0.xy\n";  // info = pos.xy

constexpr const char light_pixel_shader_asm[] =
    "ps_2_0\n"
    "dcl t0\n"
    "dcl t1.xy\n"
    "def c0, 1, 0, 0, 0\n"
    "dp2add r0.x, t1, t1, c0.y\n"  // |info|^2
    "rsq r0.x, r0.x\n"
    "rcp r0.x, r0.x\n"         // length(info)
    "add r0.x, c0.x, -r0.x\n"  // 1 - length(info)
    "mul r0, t0, r0.x\n"       // color * (1 - length(info))
    "mov oC0, r0\n";

}  // namespace provider

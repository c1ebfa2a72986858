#include "device/light_program_code.h"

// vs_2_0
// dcl_position v0
// def c201, 0, 1, 0.5, 1
// mova a0.x, v0.z
// mov r0, c1[a0.x]
// mad r1.xy, v0.xy, r0.x, r0.yz
// add r1.xy, r1.xy, -c0.xy
// mul oPos.xy, r1.xy, c0.zw
// mov oPos.zw, c201
// mov oT0.xyz, c101[a0.x]
// mov oT0.w, c201.w
// mov oT1.xy, v0.xy
const DWORD light_vertex_program[] = {
    0xFFFE0200,                                                  // vs_2_0
    0x0200001F, 0x80000000, 0x900F0000,                          // dcl_position v0
    0x05000051, 0xA00F00C9, 0x00000000, 0x3F800000, 0x3F000000,  // def c201, 0, 1, 0.5, 1
    0x3F800000,                                                  //
    0x0200002E, 0xB0010000, 0x90AA0000,                          // mova a0.x, v0.z
    0x03000001, 0x800F0000, 0xA0E42001, 0xB0000000,              // mov r0, c1[a0.x]
    0x04000004, 0x80030001, 0x90540000, 0x80000000, 0x80A90000,  // mad r1.xy, v0.xy, r0.x, r0.yz
    0x03000002, 0x80030001, 0x80540001, 0xA1540000,              // add r1.xy, r1.xy, -c0.xy
    0x03000005, 0xC0030000, 0x80540001, 0xA0FE0000,              // mul oPos.xy, r1.xy, c0.zw
    0x02000001, 0xC00C0000, 0xA0E400C9,                          // mov oPos.zw, c201
    0x03000001, 0xE0070000, 0xA0E42065, 0xB0000000,              // mov oT0.xyz, c101[a0.x]
    0x02000001, 0xE0080000, 0xA0FF00C9,                          // mov oT0.w, c201.w
    0x02000001, 0xE0030001, 0x90540000,                          // mov oT1.xy, v0.xy
    0x0000FFFF,                                                  // end
};
const size_t light_vertex_program_tokens = sizeof(light_vertex_program) / sizeof(DWORD);

// ps_2_0
// dcl t0
// dcl t1.xy
// def c0, 1, 0, 0, 0
// dp2add r0.x, t1, t1, c0.y
// rsq r0.x, r0.x
// rcp r0.x, r0.x
// add r0.x, c0.x, -r0.x
// mul r0, t0, r0.x
// mov oC0, r0
const DWORD light_pixel_program[] = {
    0xFFFF0200,                                                  // ps_2_0
    0x0200001F, 0x80000000, 0xB00F0000,                          // dcl t0
    0x0200001F, 0x80000000, 0xB0030001,                          // dcl t1.xy
    0x05000051, 0xA00F0000, 0x3F800000, 0x00000000, 0x00000000,  // def c0, 1, 0, 0, 0
    0x00000000,                                                  //
    0x0400005A, 0x80010000, 0xB0E40001, 0xB0E40001, 0xA0550000,  // dp2add r0.x, t1, t1, c0.y
    0x02000007, 0x80010000, 0x80000000,                          // rsq r0.x, r0.x
    0x02000006, 0x80010000, 0x80000000,                          // rcp r0.x, r0.x
    0x03000002, 0x80010000, 0xA0000000, 0x81000000,              // add r0.x, c0.x, -r0.x
    0x03000005, 0x800F0000, 0xB0E40000, 0x80000000,              // mul r0, t0, r0.x
    0x02000001, 0x800F0800, 0x80E40000,                          // mov oC0, r0
    0x0000FFFF,                                                  // end
};
const size_t light_pixel_program_tokens = sizeof(light_pixel_program) / sizeof(DWORD);

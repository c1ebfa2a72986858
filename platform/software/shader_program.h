// Shader bytecode the software device runs: vs_2_0 and ps_2_0 token streams
// restricted to what a light program needs (def, dcl, mova, mov, add, sub, mad,
// mul, rcp, rsq, dp3, dp4, dp2add, min, max; temporaries, inputs, constants
// with relative addressing through a0, oPos, oT0, oT1 and oC0). Anything else
// is refused at creation, as a runtime refuses bytecode it cannot validate.
#pragma once

#include <memory>

#include "platform/software/software_device.h"

namespace lightvol_sw {
namespace detail {

constexpr unsigned kVertexConstantRegisters = 256;

// Decodes a vertex program reading its float constants from `constants`
// (kVertexConstantRegisters float4 registers, owned by the device); null when
// the bytecode is malformed or uses anything unsupported.
std::shared_ptr<VertexShader> decode_vertex_program(const DWORD* tokens,
                                                    const float (*constants)[4]);
// Decodes a pixel program; its constants are those it defines itself.
std::shared_ptr<PixelShader> decode_pixel_program(const DWORD* tokens);

}  // namespace detail
}  // namespace lightvol_sw

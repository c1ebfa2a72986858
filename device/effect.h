// The compiled light effect, following device loss and reset.
#pragma once

#include "device/device_obj.h"
#include "device/light_programs.h"
#include "device/shader_constants.h"
#include "platform/d3d9_api.h"

class Effect : public DeviceObj {
public:
    ~Effect() override;
    void on_lost_device() override;
    void on_reset_device() override;

    // Compiles a NUL-terminated effect text into compiled_effect. A null text
    // changes nothing. When the compilation fails, compiled_effect stays null;
    // for the light effect's text its shaders are then made from their
    // built-in bytecode instead. A failure without that fallback, or whose
    // fallback the device refuses as well, shows the compiler's message (or
    // "unknow" when there is none).
    void compile(const char* source);

    // The light can be drawn: through compiled_effect, or through programs.
    bool can_draw() const { return compiled_effect || programs.ready(); }

    // The float constant registers a frame may write, vertex and pixel
    // shader. The compiled effect places its parameters where its compiler
    // chose, and an effect made with D3DXFX_NOT_CLONEABLE does not say where
    // (its pass description has no shader functions): every register its
    // shader models (vs_2_0, ps_2_0) have, c0..c255 and c0..c31. The built-in
    // programs' are their own layout. Nothing without either.
    void constant_ranges(RegisterRange* vertex, RegisterRange* pixel) const;

    // One owned reference, or null before a successful compile.
    ID3DXEffect* compiled_effect = nullptr;
    // Made only when the effect text could not be compiled.
    LightPrograms programs;
};

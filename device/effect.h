// The compiled light effect, following device loss and reset.
#pragma once

#include "device/device_obj.h"
#include "platform/d3d9_api.h"

class Effect : public DeviceObj {
public:
    ~Effect() override;
    void on_lost_device() override;
    void on_reset_device() override;

    // Compiles a NUL-terminated effect text into compiled_effect. A null text
    // changes nothing; a failed compilation shows the compiler's message (or
    // "unknow" when there is none) and leaves compiled_effect null.
    void compile(const char* source);

    // One owned reference, or null before a successful compile.
    ID3DXEffect* compiled_effect = nullptr;
};

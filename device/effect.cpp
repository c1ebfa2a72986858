#include "device/effect.h"

#include <cstring>
#include <string>

#include "device/com_ref.h"
#include "device/device_context.h"
#include "device/light_effect_source.h"

Effect::~Effect() { release_ref(compiled_effect); }

// The programs' shaders survive a reset untouched (see LightPrograms).
void Effect::on_lost_device() {
    if (compiled_effect) compiled_effect->OnLostDevice();
}

void Effect::on_reset_device() {
    if (compiled_effect) compiled_effect->OnResetDevice();
}

void Effect::constant_ranges(RegisterRange* vertex, RegisterRange* pixel) const {
    *vertex = RegisterRange{};
    *pixel = RegisterRange{};
    if (compiled_effect) {
        *vertex = RegisterRange{0, 256};
        *pixel = RegisterRange{0, 32};
    } else if (programs.ready()) {
        *vertex = RegisterRange{0, light_program_registers};
    }
}

namespace {

// The compiler's message buffer, released however compile is left.
struct MessageBuffer {
    MessageBuffer() = default;
    MessageBuffer(const MessageBuffer&) = delete;
    MessageBuffer& operator=(const MessageBuffer&) = delete;
    ~MessageBuffer() { release_ref(buffer); }
    ID3DXBuffer* buffer = nullptr;
};

}  // namespace

void Effect::compile(const char* source) {
    if (!source) return;
    release_ref(compiled_effect);
    MessageBuffer messages;
    ID3DXBuffer*& errors = messages.buffer;
    const HRESULT hr =
        D3DXCreateEffect(g_device, source, static_cast<UINT>(std::strlen(source)), nullptr, nullptr,
                         D3DXFX_NOT_CLONEABLE, nullptr, &compiled_effect, &errors);
    if (FAILED(hr)) {
        // A compiler may hand back an effect even when it fails; it is not used.
        release_ref(compiled_effect);
    }
    // A D3DX that cannot compile the light effect (Wine's own, for one) still
    // leaves the device able to run the effect's shaders, built in as bytecode.
    const bool light_effect = std::strcmp(source, light_effect_source) == 0;
    if (FAILED(hr) && !(light_effect && (programs.ready() || programs.create()))) {
        std::string text = "unknow";
        if (errors) {
            // Bounded by the buffer's size, in case the text lacks its NUL.
            const char* chars = static_cast<const char*>(errors->GetBufferPointer());
            if (chars) text.assign(chars, strnlen(chars, errors->GetBufferSize()));
        }
        show_error_message(text.c_str());
    }
}

#include "device/effect.h"

#include <cstring>
#include <string>

#include "device/com_ref.h"
#include "device/device_context.h"

Effect::~Effect() { release_ref(compiled_effect); }

void Effect::on_lost_device() {
    if (compiled_effect) compiled_effect->OnLostDevice();
}

void Effect::on_reset_device() {
    if (compiled_effect) compiled_effect->OnResetDevice();
}

void Effect::compile(const char* source) {
    if (!source) return;
    release_ref(compiled_effect);
    ID3DXBuffer* errors = nullptr;
    const HRESULT hr =
        D3DXCreateEffect(g_device, source, static_cast<UINT>(std::strlen(source)), nullptr, nullptr,
                         D3DXFX_NOT_CLONEABLE, nullptr, &compiled_effect, &errors);
    if (FAILED(hr)) {
        // A compiler may hand back an effect even when it fails; it is not used.
        release_ref(compiled_effect);
        std::string text = "unknow";
        if (errors) {
            // Bounded by the buffer's size, in case the text lacks its NUL.
            const char* chars = static_cast<const char*>(errors->GetBufferPointer());
            if (chars) text.assign(chars, strnlen(chars, errors->GetBufferSize()));
        }
        show_error_message(text.c_str());
    }
    release_ref(errors);
}

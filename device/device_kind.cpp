#include "device/device_kind.h"

const IID kIidDirect3DDevice9Ex = {
    0xb18b10ce, 0x2649, 0x405a, {0x87, 0x0f, 0x95, 0xf7, 0x77, 0xd4, 0x31, 0x3a}};

bool answers_as_9ex(IDirect3DDevice9* device) {
    if (!device) return false;
    void* ex = nullptr;
    if (FAILED(device->QueryInterface(kIidDirect3DDevice9Ex, &ex)) || !ex) return false;
    static_cast<IUnknown*>(ex)->Release();
    return true;
}

// lightvol_engine_states.h: for engines whose state cache cannot follow the
// render-state callback.
//
// lightvol sets seven render states through the host's RenderStateCallback
// (ZENABLE, ZWRITEENABLE, ALPHABLENDENABLE, BLENDOP, SRCBLEND, DESTBLEND,
// CULLMODE) and leaves them as the callback was told: an engine that caches
// each render state updates its cache in the callback and draws on correctly.
// An engine that caches whole materials (and skips a material equal to its
// last one) cannot: after render its cache says one thing and the device holds
// another. Such an engine wraps render in an EngineRenderStates:
//
//   states.capture();      // the engine's values of the seven, on the device
//   ls->render(...);       // the callback sets them on the device as usual
//   states.apply();        // the engine's values again
//
// The seven live in a Direct3D 9 state block recorded with SetRenderState
// calls between BeginStateBlock and EndStateBlock, which a pure device
// (D3DCREATE_PUREDEVICE) serves as well: no GetRenderState is ever called. The
// block references nothing of the engine's. Direct3D 9 asks for every state
// block to be released before IDirect3DDevice9::Reset: call release() beside
// on_lost_device() and create() again after on_reset_device().
//
// Header only, for C++ hosts; include the Direct3D 9 declarations (<d3d9.h>)
// before this header. docs/integration.md ("Living inside an engine") shows
// where each call goes.
#pragma once

#include "lightvol.h"

class EngineRenderStates {
public:
    // The states the render-state callback is told of, in the callback's order.
    static constexpr int state_count = 7;
    static const D3DRENDERSTATETYPE* states() {
        static const D3DRENDERSTATETYPE list[state_count] = {
            D3DRS_ZENABLE,  D3DRS_ZWRITEENABLE, D3DRS_ALPHABLENDENABLE, D3DRS_BLENDOP,
            D3DRS_SRCBLEND, D3DRS_DESTBLEND,    D3DRS_CULLMODE};
        return list;
    }

    EngineRenderStates() = default;
    EngineRenderStates(const EngineRenderStates&) = delete;
    EngineRenderStates& operator=(const EngineRenderStates&) = delete;
    // No destructor: the block is given back by release() while the device
    // lives, never by a global's destruction at exit.

    // Records the block on `device` (borrowed, not referenced), replacing an
    // earlier one. Recording changes nothing on the device. False, with no
    // block, when the device refuses; capture and apply then do nothing.
    bool create(IDirect3DDevice9* device) {
        release();
        if (!device || FAILED(device->BeginStateBlock())) return false;
        bool recorded = true;
        for (int i = 0; i < state_count; ++i)
            recorded = SUCCEEDED(device->SetRenderState(states()[i], 0)) && recorded;
        IDirect3DStateBlock9* block = nullptr;
        // Recording always ends, so that the engine's own calls are not
        // swallowed by it.
        const HRESULT ended = device->EndStateBlock(&block);
        if (SUCCEEDED(ended) && recorded && block) {
            block_ = block;
            return true;
        }
        if (block) block->Release();
        return false;
    }

    // Releases the block: before the device's Reset and at shutdown (before
    // the device is released). Safe to call when there is none.
    void release() {
        if (block_) block_->Release();
        block_ = nullptr;
        captured_ = false;
    }

    bool ready() const { return block_ != nullptr; }

    // Before render: the block takes the device's current values of the seven.
    bool capture() {
        captured_ = block_ && SUCCEEDED(block_->Capture());
        return captured_;
    }

    // After render: puts back what capture took. Nothing without a capture.
    void apply() {
        if (captured_) block_->Apply();
        captured_ = false;
    }

private:
    IDirect3DStateBlock9* block_ = nullptr;
    bool captured_ = false;
};

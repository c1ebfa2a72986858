// The host's device state around a light frame: taken before the frame
// changes anything, given back when it ends.
//
// The device's caps, read whenever the block is made (at init and after every
// reset), say which render targets and samplers exist: nothing else is asked
// about. Two kinds of state are kept apart. What a state block can hold
// without referencing a host object (the pinned render states, viewport,
// scissor rectangle, stream 0's frequency and the shader constants the frame
// writes, as far as the device has them) is recorded once into a block with
// direct device calls and captured and applied every frame: no getter a pure
// device refuses is called. Bindings of objects (the render targets, the
// depth surface, vertex declaration, stream 0, indices, shaders, and the
// samplers the light map is bound to) are read with getters that return an
// interface, which Microsoft's pages say a pure device serves too, and their
// references are held only from save to restore, inside one frame: nothing of
// the host's stays referenced between frames, so nothing of its default pool
// outlives its Reset because of this object. Software vertex processing on a
// mixed-mode device, outside state blocks, is read and given back the same
// way.
//
// The block is a device object of the default kind: made by create, dropped
// by release (before Reset, with the other default-pool objects) and made
// again by recreate.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device/device_caps.h"
#include "device/pass_states.h"
#include "device/shader_constants.h"
#include "platform/d3d9_api.h"

class HostState {
public:
    HostState() = default;
    HostState(const HostState&) = delete;
    HostState& operator=(const HostState&) = delete;
    ~HostState() { release(); }

    // Reads the device's caps and records the block for a frame that writes
    // these shader constant registers (those the device has), replacing any
    // earlier one, and learns whether the device is a mixed-mode one. False,
    // without a block, when the device refuses.
    bool create(RegisterRange vertex, RegisterRange pixel);
    // create with the registers of the last create.
    bool recreate() { return create(vertex_, pixel_); }
    void release();
    bool ready() const { return block_ != nullptr; }
    const DeviceCaps& caps() const { return caps_; }

    // Takes the host's bindings and captures the block. False, holding and
    // having changed nothing, when any of it cannot be read; a refused read
    // of a render target past 0, or of the displacement map or a vertex
    // texture sampler, counts as nothing bound there.
    bool save(IDirect3DBaseTexture9* light_map);
    // Unbinds render targets 1..3 and the light map from every sampler, sets
    // the pinned states and stream 0's frequency, and turns software vertex
    // processing off. Only between save and restore.
    void pin();
    // Gives back what save took: render target 0 first (binding it resets
    // viewport and scissor rectangle), the block last; drops the references.
    void restore();

private:
    void drop();

    // Whether sampler_stages[i] exists on the device.
    bool has_sampler(size_t i) const;

    IDirect3DStateBlock9* block_ = nullptr;
    DeviceCaps caps_;
    // As asked for; the block holds those of them the device has.
    RegisterRange vertex_;
    RegisterRange pixel_;
    bool mixed_ = false;

    // Held from save to restore.
    IDirect3DSurface9* targets_[4] = {};
    IDirect3DSurface9* depth_ = nullptr;
    IDirect3DVertexDeclaration9* declaration_ = nullptr;
    IDirect3DVertexBuffer9* stream_ = nullptr;
    UINT stream_offset_ = 0;
    UINT stream_stride_ = 0;
    IDirect3DIndexBuffer9* indices_ = nullptr;
    IDirect3DVertexShader9* vertex_shader_ = nullptr;
    IDirect3DPixelShader9* pixel_shader_ = nullptr;
    // Not referenced: lightvol's own texture, bound where the bits say.
    IDirect3DBaseTexture9* light_map_ = nullptr;
    uint32_t light_map_samplers_ = 0;
    bool software_processing_ = false;
};

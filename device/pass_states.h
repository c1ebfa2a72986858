// The render states a light frame sets directly on the device, besides the
// seven it sets through the host's callback: every state of the Direct3D 9
// pipeline that could change what the pass writes into the light map, at the
// value the pass needs. The frame gives each back to the host's value.
#pragma once

#include <cstddef>

#include "platform/d3d9_api.h"

struct PinnedState {
    D3DRENDERSTATETYPE state;
    DWORD value;
};

extern const PinnedState pinned_states[];
extern const size_t pinned_state_count;

// The sampler numbers a texture can be bound to: 0..15, the displacement map
// sampler and the four vertex texture samplers.
extern const DWORD sampler_stages[];
extern const size_t sampler_stage_count;

// What the test-only D3DX effect provider tells the test host about itself,
// through its export lightvol_effect_provider_stats (C linkage, cdecl).
#pragma once

struct EffectProviderStats {
    long effects_created;  // D3DXCreateEffect calls that returned an effect
    long effects_alive;    // effect objects not yet released
    long texts_rejected;   // D3DXCreateEffect calls with any other text
    long misuses;          // effect calls refused: unknown name, wrong order, bad pass
    long begins_saving;    // Begin calls that saved the shader state (flags 0)
    long commits;          // CommitChanges calls inside a pass
};

typedef void (*EffectProviderStatsFn)(EffectProviderStats* out);

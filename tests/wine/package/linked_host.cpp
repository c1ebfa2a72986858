// A host that links lightvol.dll through its import library (or the installed
// package's lightvol::lightvol) instead of loading it by hand: the loader must
// resolve create_ILightingSystem by name.
#include <cstdio>

#include "lightvol.h"

int main() {
    ILightingSystem* system = create_ILightingSystem();
    if (!system) {
        std::printf("FAIL linked host: create_ILightingSystem returned null\n");
        return 1;
    }
    const bool enabled = system->is_enabled();
    const LightMapInfo* info = system->get_light_map();
    const bool fresh = info && !info->texture;
    system->release();
    if (!enabled || !fresh) {
        std::printf("FAIL linked host: a new lighting system is not enabled and empty\n");
        return 1;
    }
    std::printf("PASS linked host\n");
    return 0;
}

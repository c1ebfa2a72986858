// A host built against the installed package's lightvol::lightvol: it links the
// import library, so the loader resolves create_ILightingSystem by name when
// the program starts.
#include <cstdio>

#include "lightvol.h"

int main() {
    ILightingSystem* system = create_ILightingSystem();
    if (!system) {
        std::printf("FAIL package: create_ILightingSystem returned null\n");
        return 1;
    }
    const bool enabled = system->is_enabled();
    const LightMapInfo* info = system->get_light_map();
    const bool fresh = info && !info->texture;
    system->release();
    if (!enabled || !fresh) {
        std::printf("FAIL package: a new lighting system is not enabled and empty\n");
        return 1;
    }
    std::printf("PASS package\n");
    return 0;
}

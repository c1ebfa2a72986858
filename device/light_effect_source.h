// The light effect, compiled at init: draws each quad of the light mesh as a
// disc of light. Parameters "light_info", "light_color", "world2scr";
// technique "Render" with one pass.
#pragma once

#include <cstddef>

#include "device/batch_num.h"

extern const char light_effect_source[];
// Length without the terminating NUL.
extern const size_t light_effect_source_length;

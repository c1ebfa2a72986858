// Picture scenes defined in code: each exercises one way a light reaches the
// light map (batches, overlaps, layer chords, grid snapping, culling edges).
#pragma once

#include <vector>

#include "../common/scene_file.h"

std::vector<scene_file::Scene> builtin_scenes();

// Scenes from the preview tool's example files (examples/*.json).
#pragma once

#include <string>
#include <vector>

#include "../common/scene_file.h"

// Appends the scene of `path`; false with a message when it cannot be read.
bool load_json_scenes(const std::string& path, std::vector<scene_file::Scene>& scenes,
                      std::string& error);

// A minimal PNG writer for screenshots: 8-bit RGB, no compression (stored
// deflate blocks), so it needs no library.
#pragma once

#include <cstdint>

namespace lit_room {

// Writes `rgb` (width * height * 3 bytes, rows top first) to `path`. False
// when the file cannot be written.
bool write_png(const char* path, int32_t width, int32_t height, const uint8_t* rgb);

}  // namespace lit_room

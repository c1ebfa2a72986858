// A picture of one frame's volume placement, seen from above: the requested
// box, the focus and the direction of movement as the frame passed them to
// render, the box scaled about the focus, and the volume that was placed,
// read from LightMapInfo, with its cells and the points where its texels'
// values live.
//
//   white, light grey lines    the world grid of cell_size; darker lines at x = 0, y = 0
//   orange outline             the requested box (box_min .. box_max)
//   grey dashed outline        the requested box scaled about the focus to
//                              width x height cells, before snapping
//   blue area and outline      the placed volume; its cells
//   dark blue dots             the world points of the texels (i, j): each
//                              cell's minimum-x / maximum-y corner
//   red cross and arrow        the focus and the sign of movement
//   numbers                    world x (below) and y (left) of grid lines
#pragma once

#include <cstdint>

#include "lightvol.h"
#include "tools/preview/png_writer.h"
#include "tools/preview/scene.h"

namespace lightvol_preview {

struct PlacementWindow {
    // World rectangle shown, whole cells, and the picture's size.
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    int64_t width = 0, height = 0;
};

// The world rectangle the diagram shows (everything drawn plus a margin of
// one cell) at `pixels_per_cell`.
PlacementWindow placement_window(const SceneFrame& frame, const LightMapInfo& info, int32_t width,
                                 int32_t height, float cell_size, int32_t pixels_per_cell);

RgbImage placement_diagram(const SceneFrame& frame, const LightMapInfo& info, int32_t width,
                           int32_t height, float cell_size, int32_t pixels_per_cell);

}  // namespace lightvol_preview

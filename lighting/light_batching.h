// Cutting a frame's visible lights into per-layer batches of at most BATCH_NUM.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "device/batch_num.h"
#include "lighting/point_light.h"

// Receives a frame's output, in order: for each layer from the lowest up, its
// begin_layer, then that layer's batches (1 to BATCH_NUM lights each; 3 floats
// per light in each array).
class BatchConsumer {
public:
    virtual void begin_layer(int32_t layer) = 0;
    virtual void flush_batch(const float* light_info, const float* light_color, int32_t n) = 0;

protected:
    ~BatchConsumer() = default;
};

// Height of layer i's plane: i * cell_size + volume_min_z, each step in float.
inline float layer_height(int32_t layer, float cell_size, float volume_min_z) {
    return static_cast<float>(layer) * cell_size + volume_min_z;
}

// Whether a light enters the layer at height layer_z, and with which disc
// radius: it must be within reach (dz < radius + cell_size) and its sphere must
// meet the plane (radius_sq - dz * dz >= 0), so every chord is a real number.
inline bool light_enters_layer(const PointLight& light, float layer_z, float cell_size,
                               float* chord) {
    const float dz = std::fabs(light.position.z - layer_z);
    if (!(dz < light.radius + cell_size)) return false;
    const float chord_sq = light.radius_sq - dz * dz;
    if (!(chord_sq >= 0.0f)) return false;
    *chord = std::sqrt(chord_sq);
    return true;
}

// Produces the same batches, in the same order and with the same floats, as
// testing every visible light against every layer; its cost follows the number
// of (light, layer) entries made, not layers x lights. Entries are written
// once, already grouped by layer in the effect's layout, and batches are
// handed out as slices of them. Buffers keep their capacity between frames.
class LayerBatcher {
public:
    // Works out every layer's entries; the only step that allocates (when the
    // frame has more entries than any before).
    void plan(const std::vector<PointLight*>& lights, int32_t depth, float cell_size,
              float volume_min_z);
    // Hands the planned layers and batches to out; allocates nothing.
    void emit(BatchConsumer& out);

private:
    struct Span {
        int32_t first;
        int32_t last;  // first > last: the light enters no layer
    };

    std::vector<float> heights_;  // every layer's plane
    std::vector<Span> spans_;
    std::vector<uint32_t> layer_start_;  // depth + 1 offsets, in entries
    // 3 floats per entry, layer by layer, each layer followed by a spare entry.
    std::vector<float> light_info_;
    std::vector<float> light_color_;
    int32_t depth_ = 0;
};

// Cutting a frame's visible lights into per-layer batches of at most BATCH_NUM.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <new>
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
// testing every visible light against every layer, at a cost that follows the
// (light, layer) entries made rather than layers x lights.
//
// Planning finds each light's run of layers [first, last]; emitting sweeps the
// layers upward, keeping the set of lights whose run covers the current layer
// as bits over the lights' positions (which keeps their order), and writes the
// layer's entries straight into two BATCH_NUM-entry arrays, handed out as they
// fill. The working memory is a few bytes per light plus a fixed part,
// whatever the depth and the radii: no size is ever formed from lights x
// layers.
class LayerBatcher {
public:
    // Layers whose starting lights are gathered in one pass over the lights.
    static constexpr int32_t kChunkLayers = 4096;

    // Works out every light's run of layers; the only step that allocates, and
    // only when lights_held (the lights the caller holds, at least
    // lights.size()) exceeds any count before. lights must stay unchanged
    // until emit. Throws std::bad_alloc, and nothing else, when the per-light
    // arrays cannot be had.
    void plan(const std::vector<PointLight*>& lights, size_t lights_held, int32_t depth,
              float cell_size, float volume_min_z);
    // Hands every layer and its batches to out, lowest layer first; allocates
    // nothing.
    void emit(BatchConsumer& out);

    // Bytes this planner holds: its per-light arrays (capacity) and its fixed
    // part.
    size_t bytes_held() const;

private:
    struct Span {
        int32_t first;
        int32_t last;  // first > last: the light enters no layer
    };

    // Lists, layer by layer over [first, first + kChunkLayers), the lights
    // whose run starts there; returns the lowest first layer above the chunk,
    // or depth_ when none.
    int32_t gather_starts(int32_t first);

    const std::vector<PointLight*>* lights_ = nullptr;
    size_t count_ = 0;  // lights planned
    int32_t depth_ = 0;
    float cell_size_ = 1.0f;
    float volume_min_z_ = 0.0f;
    int32_t lowest_first_ = 0;  // lowest first layer of any run; depth_ when none

    std::vector<Span> spans_;          // per light
    std::vector<uint32_t> starting_;   // per light: lights listed by the layer their run starts
    std::vector<uint64_t> reaching_;   // bit per light: its run covers the current layer
    std::vector<uint64_t> busy_words_; // bit per word of reaching_: the word is not zero

    // Fixed part: where each layer of the current chunk begins in starting_
    // (one more for the chunk's end), and the batch being filled. One spare
    // float lets an entry be stored four floats wide.
    uint32_t starts_[kChunkLayers + 1];
    float light_info_[3 * BATCH_NUM + 1];
    float light_color_[3 * BATCH_NUM + 1];
};

// Gives a per-light array count elements, keeping its storage when it is large
// enough and otherwise making room for room (>= count) at once, the old
// storage freed first. A count it cannot hold is std::bad_alloc (not
// std::length_error, and never a wrapped or short size).
template <typename T>
void size_for_lights(std::vector<T>& array, size_t count, size_t room) {
    if (room < count) room = count;
    if (room > array.max_size()) room = count;
    if (count > array.max_size()) throw std::bad_alloc();
    if (array.capacity() < count) {
        std::vector<T>().swap(array);
        array.reserve(room);
    }
    array.resize(count);
}

// Words of 64 bits for one bit per item, without forming items + 63 (which
// wraps near the type's limit).
template <typename Size>
constexpr Size words_for_bits(Size items) {
    return static_cast<Size>(items / 64 + (items % 64 != 0 ? 1 : 0));
}

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
// Planning finds each light's run of layers [first, last]. Emitting sweeps
// the layers upward in windows: the runs are counted per layer of the window,
// then every light whose run meets the window writes its entries for the
// window's layers at once, grouped by layer in the effect's layout, into a
// buffer of bounded size, and the window's layers are handed out as slices of
// it. A layer with more entries than the buffer holds is written straight into
// batches. The working memory is a few bytes per light plus a fixed part,
// whatever the depth and the radii: no size is ever formed from lights x
// layers.
class LayerBatcher {
public:
    // Most layers in one window, and in one block of layers counted at once.
    static constexpr int32_t kWindowLayers = 256;
    // Entries the window buffer holds beyond its share per light.
    static constexpr size_t kWindowEntries = 2048;
    // Floats of the window buffer for lights_held lights: 5 / 6 entry per
    // light (20 bytes, so that with the runs' 8 bytes the planner holds at
    // most 28 bytes per light besides its fixed part) and kWindowEntries, six
    // floats per entry, and two spares. 0 when that is more than max_floats:
    // computed in Size without wrapping, whatever its width.
    template <typename Size>
    static Size window_floats(Size lights_held, Size max_floats) {
        const Size entries = static_cast<Size>(kWindowEntries + lights_held / 6 * 5);
        if (max_floats < 2 || entries > (max_floats - 2) / 6) return 0;
        return static_cast<Size>(6 * entries + 2);
    }

    // Works out every light's run of layers; the only step that allocates, and
    // only when lights_held (the lights the caller holds, at least
    // lights.size()) exceeds any count before. lights must stay unchanged
    // until emit. Throws std::bad_alloc, and nothing else, when the arrays
    // cannot be had.
    void plan(const std::vector<PointLight*>& lights, size_t lights_held, int32_t depth,
              float cell_size, float volume_min_z);
    // Hands every layer and its batches to out, lowest layer first; allocates
    // nothing.
    void emit(BatchConsumer& out);

    // Bytes this planner holds: its arrays (capacity) and its fixed part.
    size_t bytes_held() const;

private:
    struct Span {
        int32_t first;
        int32_t last;  // first > last: the light enters no layer
    };

    // Counting the entries of layers [first, first + layers) into
    // layer_entries_, one run at a time; above_ becomes the lowest first layer
    // of a run above them (depth_ when none).
    void start_count(int32_t first, int32_t layers);
    void count_span(Span span);
    void finish_count();
    // Writes layer's entries straight into batches.
    void emit_layer(int32_t layer, BatchConsumer& out);
    // Writes the entries of layers [first, end) grouped by layer, then hands
    // the layers out; begin_[k] is where layer first + k starts in the buffer.
    void emit_window(int32_t first, int32_t end, BatchConsumer& out);

    const std::vector<PointLight*>* lights_ = nullptr;
    size_t count_ = 0;  // lights planned
    int32_t depth_ = 0;
    float cell_size_ = 1.0f;
    float volume_min_z_ = 0.0f;

    std::vector<Span> spans_;  // per light
    // Window buffer: entry_room_ entries of light_info, then as many of
    // light_color, 3 floats each, and a spare float after each half for
    // entries stored four floats wide.
    std::vector<float> entries_;
    size_t entry_room_ = 0;

    // The window's layers: entries per layer (two more slots for counting),
    // heights (NaN-padded for four-wide reads), and where each layer begins
    // and how far it is filled, in entries.
    int64_t layer_entries_[kWindowLayers + 2];
    int32_t counted_first_ = 0;
    int32_t counted_layers_ = 0;
    int32_t above_ = 0;
    float heights_[kWindowLayers + 4];
    float plan_heights_[kWindowLayers + 2];
    size_t begin_[kWindowLayers];
    size_t fill_[kWindowLayers];
};

// Gives a per-light array count elements, keeping its storage when it is large
// enough and otherwise making room for room (>= count) at once, the old
// storage freed first. A count it cannot hold is std::bad_alloc (not
// std::length_error, and never a wrapped or short size).
template <typename T, typename Allocator>
void size_for_lights(std::vector<T, Allocator>& array, size_t count, size_t room) {
    if (room < count) room = count;
    if (room > array.max_size()) room = count;
    if (count > array.max_size()) throw std::bad_alloc();
    if (array.capacity() < count) {
        std::vector<T, Allocator>().swap(array);
        array.reserve(room);
    }
    array.resize(count);
}

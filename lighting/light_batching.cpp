#include "lighting/light_batching.h"

#include <algorithm>
#include <initializer_list>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include "lighting/lighting_system.h"

namespace {

// Conditions combined without a branch: every one is evaluated.
inline bool all_hold(std::initializer_list<bool> conditions) {
    unsigned all = 1;
    for (bool c : conditions) all &= static_cast<unsigned>(c);
    return all != 0;
}

// The layers a light enters form one run: its distance to the layer planes
// falls and then rises as the layers go up, and entering depends only on that
// distance. Both ends are guessed from the light's height and reach and
// confirmed with the exact test: when the guess is right (the usual case) a
// light costs four tests however many layers it reaches. When it is not, the
// fallbacks are linear: a guess that falls inside the run is widened one layer
// at a time at each end, and otherwise the search walks from the layer nearest
// the light towards it until a layer enters and then widens from there, so
// such a light costs tests in proportion to the layers its run spans (and to
// those walked past).
struct SpanFinder {
    float cell_size;
    float cells_per_unit;  // for estimates only
    float volume_min_z;
    int32_t depth;
    // For a volume of at most kWindowLayers layers: every height from layer
    // -1 to depth, read instead of computed (else null).
    const float* table;

    // layer_height of a layer of the volume, and NaN outside it (-1 and
    // depth are asked for): no light enters there, so a run ends at the
    // volume's ends without a separate test.
    float height(int32_t layer) const {
        if (table) return table[layer];
        return layer >= 0 && layer < depth ? layer_height(layer, cell_size, volume_min_z) : NAN;
    }

    // light_enters_layer without the chord.
    bool enters(const PointLight& light, int32_t layer) const {
        const float dz = std::fabs(light.position.z - height(layer));
        // Both comparisons, without a branch between them.
        return all_hold({dz < light.radius + cell_size, light.radius_sq - dz * dz >= 0.0f});
    }

    // Whether the run is exactly [lo, hi] (lo <= hi): layers lo and hi enter,
    // lo - 1 and hi + 1 do not. The four tests side by side.
    bool ends_at(const PointLight& light, int32_t lo, int32_t hi) const {
#if defined(__SSE__)
        const __m128 planes = _mm_setr_ps(height(lo - 1), height(lo), height(hi), height(hi + 1));
        const __m128 dz =
            _mm_andnot_ps(_mm_set1_ps(-0.0f), _mm_sub_ps(_mm_set1_ps(light.position.z), planes));
        const __m128 within = _mm_cmplt_ps(dz, _mm_set1_ps(light.radius + cell_size));
        const __m128 meets = _mm_cmpge_ps(
            _mm_sub_ps(_mm_set1_ps(light.radius_sq), _mm_mul_ps(dz, dz)), _mm_setzero_ps());
        return _mm_movemask_ps(_mm_and_ps(within, meets)) == 0x6;
#else
        return all_hold(
            {!enters(light, lo - 1), enters(light, lo), enters(light, hi), !enters(light, hi + 1)});
#endif
    }

    // Moves the ends of a known part [lo, hi] of the run outward to the
    // run's ends.
    void widen(const PointLight& light, int32_t lo, int32_t hi, int32_t* first,
               int32_t* last) const {
        while (enters(light, lo - 1)) --lo;
        while (enters(light, hi + 1)) ++hi;
        *first = lo;
        *last = hi;
    }

    void find(const PointLight& light, int32_t* first, int32_t* last) const {
        *first = 0;
        *last = -1;
        // The light's height and reach in layers. They only guide the search:
        // every layer is confirmed with the exact test.
        const float t = (light.position.z - volume_min_z) * cells_per_unit;
        const float reach = std::fabs(light.radius) * cells_per_unit;
        // The top layer as a float, kept below 2^31 so that every estimate
        // converts back to int32_t; estimates are clamped to the top layer
        // again once converted (a deep volume's top may round upward).
        const float top = std::min(static_cast<float>(depth - 1), 2147483520.0f);

        // Usually the layers within reach, rounded inward, are in the run,
        // and the next layer out at each end is not: four tests settle it.
        // The clamps send NaN to layer 0.
        float down = t - reach;
        down = down > 0.0f ? down : 0.0f;
        down = down < top ? down : top;
        float up = t + reach;
        up = up > 0.0f ? up : 0.0f;
        up = up < top ? up : top;
        int32_t lo = static_cast<int32_t>(down);
        lo += static_cast<float>(lo) < down;                               // rounded up
        const int32_t hi = std::min(static_cast<int32_t>(up), depth - 1);  // rounded down
        if (lo <= hi) {
            if (ends_at(light, lo, hi)) {
                *first = lo;
                *last = hi;
                return;
            }
            if (enters(light, lo) && enters(light, hi)) {
                widen(light, lo, hi, first, last);
                return;
            }
        }

        // Otherwise from the layer nearest the light, if it enters at all.
        int32_t c = 0;
        if (t >= top)
            c = depth - 1;
        else if (t >= 0.0f)
            c = static_cast<int32_t>(t + 0.5f);
        c = std::min(c, depth - 1);
        if (!enters(light, c)) {
            // Only layers on the light's side of c can be nearer to it.
            const float side = light.position.z - height(c);
            const int32_t step = side > 0 ? 1 : (side < 0 ? -1 : 0);
            if (step == 0) return;
            for (c += step; c >= 0 && c < depth; c += step) {
                if (enters(light, c)) break;
                const float s = light.position.z - height(c);
                if (!(step > 0 ? s > 0 : s < 0)) return;  // passed the nearest layer
            }
            if (c < 0 || c >= depth) return;
        }
        widen(light, c, c, first, last);
    }
};

}  // namespace

void LayerBatcher::plan(const std::vector<PointLight*>& lights, size_t lights_held, int32_t depth,
                        float cell_size, float volume_min_z) {
    lights_ = &lights;
    count_ = 0;
    counted_layers_ = 0;
    depth_ = depth;
    cell_size_ = cell_size;
    volume_min_z_ = volume_min_z;

    const size_t n = lights.size();
    if (lights_held < n) lights_held = n;
    size_for_lights(spans_, n, lights_held);
    const size_t floats = window_floats(lights_held, entries_.max_size());
    if (floats == 0) throw std::bad_alloc();
    if (entries_.size() < floats) {
        entry_room_ = 0;
        size_for_lights(entries_, floats, floats);
    }
    entry_room_ = (entries_.size() - 2) / 6;

    // The lowest block of layers is counted while the runs are found.
    const bool shallow = depth <= kWindowLayers;
    if (shallow) {
        plan_heights_[0] = NAN;
        for (int32_t i = 0; i < depth; ++i)
            plan_heights_[i + 1] = layer_height(i, cell_size, volume_min_z);
        plan_heights_[depth + 1] = NAN;
    }
    const SpanFinder finder{cell_size, 1.0f / cell_size, volume_min_z, depth,
                            shallow ? plan_heights_ + 1 : nullptr};
    start_count(0, std::min<int32_t>(kWindowLayers, depth));
    for (size_t j = 0; j < n; ++j) {
        Span& span = spans_[j];
        finder.find(*lights[j], &span.first, &span.last);
        count_span(span);
    }
    finish_count();
    count_ = n;
}

size_t LayerBatcher::bytes_held() const {
    return sizeof(*this) + spans_.capacity() * sizeof(Span) + entries_.capacity() * sizeof(float);
}

void LayerBatcher::start_count(int32_t first, int32_t layers) {
    std::fill(layer_entries_, layer_entries_ + layers + 2, 0);
    counted_first_ = first;
    counted_layers_ = layers;
    above_ = depth_;
}

inline void LayerBatcher::count_span(Span span) {
    // +1 where a run enters the counted layers, -1 past where it leaves
    // (summed in finish_count). A run that misses them counts in the spare
    // slot, without a branch.
    const int32_t first = counted_first_;
    const int32_t last = first + (counted_layers_ - 1);
    const int32_t spare = counted_layers_ + 1;
    const bool runs = span.first <= span.last;
    const bool meets = all_hold({runs, span.last >= first, span.first <= last});
    const bool higher = all_hold({runs, span.first > last});
    above_ = std::min(above_, higher ? span.first : above_);
    ++layer_entries_[meets ? std::max(span.first, first) - first : spare];
    --layer_entries_[meets ? std::min(span.last, last) - first + 1 : spare];
}

void LayerBatcher::finish_count() {
    for (int32_t k = 1; k < counted_layers_; ++k) layer_entries_[k] += layer_entries_[k - 1];
}

namespace {

// One light's entries: its chord, x and y in light_info, its colour in
// light_color. With SSE both are stored four floats wide, the fourth landing
// in the next entry's place (written later) or a spare float.
class LightEntry {
public:
    explicit LightEntry(const PointLight& light)
#if defined(__SSE__)
        : place_(_mm_setr_ps(0.0f, light.position.x, light.position.y, 0.0f)),
          tint_(_mm_setr_ps(light.color.x, light.color.y, light.color.z, 0.0f)){}
#else
        : x_(light.position.x),
          y_(light.position.y),
          red_(light.color.x),
          green_(light.color.y),
          blue_(light.color.z) {
    }
#endif

          void store(float* info, float* color, float chord) const {
#if defined(__SSE__)
        _mm_storeu_ps(info, _mm_move_ss(place_, _mm_set_ss(chord)));
        _mm_storeu_ps(color, tint_);
#else
        info[0] = chord;
        info[1] = x_;
        info[2] = y_;
        color[0] = red_;
        color[1] = green_;
        color[2] = blue_;
#endif
    }

private:
#if defined(__SSE__)
    __m128 place_;
    __m128 tint_;
#else
    float x_, y_, red_, green_, blue_;
#endif
};

}  // namespace

void LayerBatcher::emit_layer(int32_t layer, BatchConsumer& out) {
    out.begin_layer(layer);
    PointLight* const* const lights = lights_->data();
    float* const info = entries_.data();
    float* const color = info + 3 * entry_room_ + 1;
    const float z_layer = layer_height(layer, cell_size_, volume_min_z_);
    // Held in locals: the four-wide stores may alias anything.
    const Span* const spans = spans_.data();
    const size_t count = count_;
    int32_t n = 0;
    for (size_t j = 0; j < count; ++j) {
        const Span span = spans[j];
        if (span.first > layer || span.last < layer) continue;
        const PointLight& light = *lights[j];
        // Every layer of the run passes the exact test, so the chord is real;
        // computed as light_enters_layer does.
        const float dz = std::fabs(light.position.z - z_layer);
#if defined(__SSE__)
        const float chord = _mm_cvtss_f32(_mm_sqrt_ss(_mm_set_ss(light.radius_sq - dz * dz)));
#else
        const float chord = std::sqrt(light.radius_sq - dz * dz);
#endif
        LightEntry(light).store(info + 3 * n, color + 3 * n, chord);
        if (++n == BATCH_NUM) {
            out.flush_batch(info, color, n);
            n = 0;
        }
    }
    if (n > 0) out.flush_batch(info, color, n);
}

void LayerBatcher::emit_window(int32_t first, int32_t end, BatchConsumer& out) {
    const int32_t layers = end - first;
    for (int32_t k = 0; k < layers; ++k) {
        heights_[k] = layer_height(first + k, cell_size_, volume_min_z_);
        fill_[k] = begin_[k];
    }
    for (int32_t k = layers; k < layers + 4; ++k) heights_[k] = NAN;

    PointLight* const* const lights = lights_->data();
    float* const info = entries_.data();
    float* const color = info + 3 * entry_room_ + 1;
    size_t* const fill = fill_;
    const float* const heights = heights_;
    const int32_t last = end - 1;
    // Held in locals: the four-wide stores may alias anything.
    const Span* const spans = spans_.data();
    const size_t count = count_;
    for (size_t j = 0; j < count; ++j) {
        {
            const Span span = spans[j];
            if (span.first > last || span.last < first || span.first > span.last) continue;
            const PointLight& light = *lights[j];
            const int32_t lo = std::max(span.first, first) - first;
            const int32_t hi = std::min(span.last, last) - first;
            // Read once: the stores below are floats too, and could alias them.
            const float z = light.position.z;
            const float radius_sq = light.radius_sq;
            const LightEntry entry(light);
            for (int32_t k = lo; k <= hi; k += 4) {
                // The chords of up to four layers, exactly as light_enters_layer
                // computes them (every layer of the run passes its test).
                alignas(16) float chords[4];
#if defined(__SSE__)
                const __m128 dz = _mm_andnot_ps(
                    _mm_set1_ps(-0.0f), _mm_sub_ps(_mm_set1_ps(z), _mm_loadu_ps(heights + k)));
                _mm_store_ps(chords,
                             _mm_sqrt_ps(_mm_sub_ps(_mm_set1_ps(radius_sq), _mm_mul_ps(dz, dz))));
#else
                for (int32_t m = 0; m < 4 && k + m <= hi; ++m) {
                    const float dz = std::fabs(z - heights[k + m]);
                    chords[m] = std::sqrt(radius_sq - dz * dz);
                }
#endif
                const int32_t stop = std::min(hi, k + 3);
                for (int32_t m = k; m <= stop; ++m) {
                    const size_t e = 3 * fill[m]++;
                    entry.store(info + e, color + e, chords[m - k]);
                }
            }
        }
    }

    for (int32_t k = 0; k < layers; ++k) {
        out.begin_layer(first + k);
        for (size_t e = begin_[k]; e < fill_[k]; e += BATCH_NUM) {
            const int32_t n = static_cast<int32_t>(std::min<size_t>(fill_[k] - e, BATCH_NUM));
            out.flush_batch(info + 3 * e, color + 3 * e, n);
        }
    }
}

void LayerBatcher::emit(BatchConsumer& out) {
    // Entries are counted for a block of up to kWindowLayers layers at a time;
    // the windows take the block's layers from the bottom up.
    int32_t i = 0;
    while (i < depth_) {
        const int32_t block = i;
        const int32_t layers = std::min<int32_t>(kWindowLayers, depth_ - i);
        if (counted_first_ != block || counted_layers_ != layers) {
            start_count(block, layers);
            for (size_t j = 0; j < count_; ++j) count_span(spans_[j]);
            finish_count();
        }
        const int32_t above = above_;
        bool any = false;
        for (int32_t k = 0; k < layers && !any; ++k) any = layer_entries_[k] != 0;
        if (!any) {
            // No run meets the block, nor any layer above it up to the next run.
            for (; i < above; ++i) out.begin_layer(i);
            continue;
        }
        while (i < block + layers) {
            // The window: as many layers as the buffer holds, each with room
            // for its entries and a spare one.
            size_t used = 0;
            int32_t k = i - block;
            for (; k < layers; ++k) {
                const size_t entries = static_cast<size_t>(layer_entries_[k]);
                if (entries >= entry_room_ - used) break;
                begin_[k - (i - block)] = used;
                used += entries + 1;
            }
            const int32_t end = block + k;
            if (end == i) {
                emit_layer(i++, out);
            } else {
                emit_window(i, end, out);
                i = end;
            }
        }
    }
}

namespace {

// boxes_overlap(volume_min, volume_max, light's bounds), every comparison made
// (NaN never rejects), without a branch.
#if defined(__SSE__)
struct VolumeTest {
    VolumeTest(const Vec3& lo, const Vec3& hi)
        : lo_(_mm_setr_ps(lo.x, lo.y, lo.z, lo.z)), hi_(_mm_setr_ps(hi.x, hi.y, hi.z, hi.z)) {}
    bool overlaps(const PointLight& light) const {
        const Vec3& b_min = light.bounds_min;
        const Vec3& b_max = light.bounds_max;
        // !(b_max <= lo) and !(b_min >= hi), lane by lane.
        const __m128 above_lo = _mm_cmpnle_ps(_mm_setr_ps(b_max.x, b_max.y, b_max.z, b_max.z), lo_);
        const __m128 below_hi = _mm_cmpnge_ps(_mm_setr_ps(b_min.x, b_min.y, b_min.z, b_min.z), hi_);
        return _mm_movemask_ps(_mm_and_ps(above_lo, below_hi)) == 0xF;
    }
    __m128 lo_;
    __m128 hi_;
};
#else
struct VolumeTest {
    VolumeTest(const Vec3& lo, const Vec3& hi) : lo_(lo), hi_(hi) {}
    bool overlaps(const PointLight& light) const {
        return boxes_overlap(lo_, hi_, light.bounds_min, light.bounds_max);
    }
    Vec3 lo_;
    Vec3 hi_;
};
#endif

}  // namespace

void LightingSystem::collect_visible_lights(const Vec3& lo, const Vec3& hi) {
    // Every light is written to the next free place and the count advances
    // only for those that take part: no branch on the outcome. The array is
    // sized for all lights first, which allocates only when there are more
    // lights than in any frame before, and then exactly as many.
    size_for_lights(visible_lights, lights.size(), lights.size());
    PointLight** const out = visible_lights.data();
    size_t n = 0;
    const VolumeTest volume(lo, hi);
    lights.for_each([&](PointLight& light) {
        const bool takes_part = light.auto_cull ? volume.overlaps(light) : light.visible;
        out[n] = &light;
        n += takes_part;
    });
    visible_lights.resize(n);
}

void LightingSystem::plan_batches(float volume_min_z) {
    batcher_.plan(visible_lights, lights.size(), depth, cell_size, volume_min_z);
}

void LightingSystem::emit_batches(BatchConsumer& out) { batcher_.emit(out); }

void LightingSystem::batch_layers(BatchConsumer& out) {
    plan_batches();
    emit_batches(out);
}

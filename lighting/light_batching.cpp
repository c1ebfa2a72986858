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
// confirmed with the exact test, so a light costs a handful of tests however
// many layers it reaches.
struct SpanFinder {
    // layer_height of every layer, and NaN at -1 and depth: no light enters
    // there, so a run ends at the volume's ends without a separate test.
    const float* heights;
    float cell_size;
    float cells_per_unit;  // for estimates only
    float volume_min_z;
    int32_t depth;

    // light_enters_layer without the chord.
    bool enters(const PointLight& light, int32_t layer) const {
        const float dz = std::fabs(light.position.z - heights[layer]);
        // Both comparisons, without a branch between them.
        return all_hold({dz < light.radius + cell_size, light.radius_sq - dz * dz >= 0.0f});
    }

    // Whether the run is exactly [lo, hi] (lo <= hi): layers lo and hi enter,
    // lo - 1 and hi + 1 do not. The four tests side by side.
    bool ends_at(const PointLight& light, int32_t lo, int32_t hi) const {
#if defined(__SSE__)
        const __m128 planes =
            _mm_setr_ps(heights[lo - 1], heights[lo], heights[hi], heights[hi + 1]);
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
        const float top = static_cast<float>(depth - 1);

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
        lo += static_cast<float>(lo) < down;          // rounded up
        const int32_t hi = static_cast<int32_t>(up);  // rounded down
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
        if (!enters(light, c)) {
            // Only layers on the light's side of c can be nearer to it.
            const float side = light.position.z - heights[c];
            const int32_t step = side > 0 ? 1 : (side < 0 ? -1 : 0);
            if (step == 0) return;
            for (c += step; c >= 0 && c < depth; c += step) {
                if (enters(light, c)) break;
                const float s = light.position.z - heights[c];
                if (!(step > 0 ? s > 0 : s < 0)) return;  // passed the nearest layer
            }
            if (c < 0 || c >= depth) return;
        }
        widen(light, c, c, first, last);
    }
};

}  // namespace

void LayerBatcher::plan(const std::vector<PointLight*>& lights, int32_t depth, float cell_size,
                        float volume_min_z) {
    depth_ = depth;
    // Layer heights from index -1 to depth + 2; those outside the volume are
    // NaN (see SpanFinder), the last two only pad four-wide reads.
    const size_t layers = static_cast<size_t>(depth);
    heights_.resize(layers + 4);
    float* const heights = heights_.data() + 1;
    for (int32_t i = 0; i < depth; ++i) heights[i] = layer_height(i, cell_size, volume_min_z);
    heights_[0] = heights_[layers + 1] = heights_[layers + 2] = heights_[layers + 3] = NAN;
    const SpanFinder finder{heights, cell_size, 1.0f / cell_size, volume_min_z, depth};

    // Per light, its run of layers, marked in layer_start_ as +1 where it
    // starts and -1 past its end (unsigned arithmetic wraps back).
    spans_.resize(lights.size());
    layer_start_.assign(static_cast<size_t>(depth) + 1, 0);
    size_t total = 0;
    for (size_t j = 0; j < lights.size(); ++j) {
        Span& span = spans_[j];
        finder.find(*lights[j], &span.first, &span.last);
        if (span.first > span.last) continue;
        ++layer_start_[span.first];
        --layer_start_[span.last + 1];
        total += static_cast<size_t>(span.last - span.first + 1);
    }
    // Running sum: entries per layer; running sum of that: each layer's
    // start. Every layer is followed by one spare entry, so that an entry may
    // be written four floats wide (see below) without touching another
    // layer's entries.
    uint32_t reaching = 0;
    uint32_t start = 0;
    for (int32_t i = 0; i < depth; ++i) {
        reaching += layer_start_[i];
        layer_start_[i] = start;
        start += reaching + 1;
    }
    layer_start_[depth] = start;
    const size_t floats = 3 * (total + static_cast<size_t>(depth));

    // Entries grouped by layer, each layer's in the lights' order. The start
    // offsets are advanced while filling and restored afterwards.
    // Each array is checked on its own: when growing the second one fails,
    // the first has already grown, and the next frame must still grow the
    // second.
    if (light_info_.size() < floats) light_info_.resize(floats);
    if (light_color_.size() < floats) light_color_.resize(floats);
    float* const info = light_info_.data();
    float* const color = light_color_.data();
    uint32_t* const next = layer_start_.data();
    for (size_t j = 0; j < lights.size(); ++j) {
        const PointLight& light = *lights[j];
        const Span span = spans_[j];
        // Read once: the stores below are floats too, and could alias them.
        const float z = light.position.z;
        const float radius_sq = light.radius_sq;
#if defined(__SSE__)
        // An entry is stored as four floats, the fourth spilling into the
        // next entry's place. A layer's entries are written in order, so the
        // next entry overwrites it later, and a layer's last entry spills
        // into its spare one.
        const __m128 place = _mm_setr_ps(0.0f, light.position.x, light.position.y, 0.0f);
        const __m128 tint = _mm_setr_ps(light.color.x, light.color.y, light.color.z, 0.0f);
#else
        const float x = light.position.x;
        const float y = light.position.y;
        const float red = light.color.x;
        const float green = light.color.y;
        const float blue = light.color.z;
#endif
        for (int32_t i = span.first; i <= span.last; i += 4) {
            // The chords of up to four layers, exactly as light_enters_layer
            // computes them (every layer of the run passes its test).
            alignas(16) float chords[4];
#if defined(__SSE__)
            const __m128 dz = _mm_andnot_ps(_mm_set1_ps(-0.0f),
                                            _mm_sub_ps(_mm_set1_ps(z), _mm_loadu_ps(heights + i)));
            _mm_store_ps(chords,
                         _mm_sqrt_ps(_mm_sub_ps(_mm_set1_ps(radius_sq), _mm_mul_ps(dz, dz))));
#else
            for (int32_t k = 0; k < 4 && i + k <= span.last; ++k) {
                const float dz = std::fabs(z - heights[i + k]);
                chords[k] = std::sqrt(radius_sq - dz * dz);
            }
#endif
            const int32_t end = std::min(span.last, i + 3);
            for (int32_t k = i; k <= end; ++k) {
                const size_t e = 3 * static_cast<size_t>(next[k]++);
#if defined(__SSE__)
                _mm_storeu_ps(info + e, _mm_move_ss(place, _mm_load_ss(&chords[k - i])));
                _mm_storeu_ps(color + e, tint);
#else
                info[e] = chords[k - i];
                info[e + 1] = x;
                info[e + 2] = y;
                color[e] = red;
                color[e + 1] = green;
                color[e + 2] = blue;
#endif
            }
        }
    }
    // Each layer's offset now points at its spare entry, one before the next
    // layer's start.
    for (int32_t i = depth - 1; i > 0; --i) layer_start_[i] = layer_start_[i - 1] + 1;
    layer_start_[0] = 0;
}

void LayerBatcher::emit(BatchConsumer& out) {
    const float* const info = light_info_.data();
    const float* const color = light_color_.data();
    for (int32_t i = 0; i < depth_; ++i) {
        out.begin_layer(i);
        const uint32_t end = layer_start_[i + 1] - 1;  // the spare entry
        for (uint32_t e = layer_start_[i]; e < end; e += BATCH_NUM) {
            const int32_t n = static_cast<int32_t>(std::min<uint32_t>(end - e, BATCH_NUM));
            out.flush_batch(info + 3 * static_cast<size_t>(e), color + 3 * static_cast<size_t>(e),
                            n);
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

void LightingSystem::collect_visible_lights() {
    // Every light is written to the next free place and the count advances
    // only for those that take part: no branch on the outcome. The array is
    // sized for all lights first, which allocates only when there are more
    // lights than in any frame before.
    visible_lights.resize(lights.size());
    PointLight** const out = visible_lights.data();
    size_t n = 0;
    const VolumeTest volume(volume_min, volume_max);
    lights.for_each([&](PointLight& light) {
        const bool takes_part = light.auto_cull ? volume.overlaps(light) : light.visible;
        out[n] = &light;
        n += takes_part;
    });
    visible_lights.resize(n);
}

void LightingSystem::plan_batches() {
    batcher_.plan(visible_lights, depth, cell_size, volume_min.z);
}

void LightingSystem::emit_batches(BatchConsumer& out) { batcher_.emit(out); }

void LightingSystem::batch_layers(BatchConsumer& out) {
    plan_batches();
    emit_batches(out);
}

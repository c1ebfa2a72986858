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
    float cell_size;
    float cells_per_unit;  // for estimates only
    float volume_min_z;
    int32_t depth;

    // layer_height of a layer of the volume, and NaN outside it (-1 and
    // depth are asked for): no light enters there, so a run ends at the
    // volume's ends without a separate test.
    float height(int32_t layer) const {
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
        const __m128 planes =
            _mm_setr_ps(height(lo - 1), height(lo), height(hi), height(hi + 1));
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

void LayerBatcher::plan(const std::vector<PointLight*>& lights, size_t lights_held,
                        int32_t depth, float cell_size, float volume_min_z) {
    lights_ = &lights;
    count_ = 0;
    depth_ = depth;
    cell_size_ = cell_size;
    volume_min_z_ = volume_min_z;
    lowest_first_ = depth;

    // Lights are numbered in 32 bits (0 ends a start list), so a count beyond
    // that is as unholdable as any other.
    const size_t n = lights.size();
    if (n >= UINT32_MAX) throw std::bad_alloc();
    size_for_lights(spans_, n, lights_held);
    size_for_lights(starting_, n, lights_held);
    size_for_lights(reaching_, words_for_bits(n), words_for_bits(lights_held));
    size_for_lights(busy_words_, words_for_bits(words_for_bits(n)),
                    words_for_bits(words_for_bits(lights_held)));

    const SpanFinder finder{cell_size, 1.0f / cell_size, volume_min_z, depth};
    int32_t lowest = depth;
    for (size_t j = 0; j < n; ++j) {
        Span& span = spans_[j];
        finder.find(*lights[j], &span.first, &span.last);
        if (span.first <= span.last && span.first < lowest) lowest = span.first;
    }
    lowest_first_ = lowest;
    count_ = n;
}

int32_t LayerBatcher::gather_starts(int32_t first) {
    const int32_t layers = std::min<int32_t>(kChunkLayers, depth_ - first);
    // Counted per layer, then placed: starts_[k] ends as layer k's beginning.
    std::fill(starts_, starts_ + layers + 1, 0u);
    int32_t above = depth_;
    for (size_t j = 0; j < count_; ++j) {
        const Span span = spans_[j];
        if (span.first > span.last || span.first < first) continue;  // earlier chunks took those
        const int64_t k = static_cast<int64_t>(span.first) - first;
        if (k < layers)
            ++starts_[k + 1];
        else if (span.first < above)
            above = span.first;
    }
    for (int32_t k = 0; k < layers; ++k) starts_[k + 1] += starts_[k];
    for (size_t j = 0; j < count_; ++j) {
        const Span span = spans_[j];
        if (span.first > span.last || span.first < first) continue;
        const int64_t k = static_cast<int64_t>(span.first) - first;
        if (k < layers) starting_[starts_[k]++] = static_cast<uint32_t>(j);
    }
    // Each layer's count has moved its beginning to the next one's.
    for (int32_t k = layers; k > 0; --k) starts_[k] = starts_[k - 1];
    starts_[0] = 0;
    return above;
}

size_t LayerBatcher::bytes_held() const {
    return sizeof(*this) + spans_.capacity() * sizeof(Span) + starting_.capacity() * sizeof(uint32_t) +
           (reaching_.capacity() + busy_words_.capacity()) * sizeof(uint64_t);
}

void LayerBatcher::emit(BatchConsumer& out) {
    PointLight* const* const lights = count_ ? lights_->data() : nullptr;
    uint64_t* const reaching = reaching_.data();
    uint64_t* const busy = busy_words_.data();
    const size_t busy_count = words_for_bits(words_for_bits(count_));
    std::fill(reaching, reaching + words_for_bits(count_), 0u);
    std::fill(busy, busy + busy_count, 0u);
    bool any_reaching = false;

    // The chunk of layers whose starting lights are gathered: [chunk, chunk_end).
    int32_t chunk = 0;
    int32_t chunk_end = 0;
    int32_t next_first = lowest_first_;  // lowest first layer not yet gathered

    for (int32_t i = 0; i < depth_; ++i) {
        out.begin_layer(i);
        if (i == next_first) {
            chunk = i;
            chunk_end = i + std::min<int32_t>(kChunkLayers, depth_ - i);
            next_first = gather_starts(i);
        }
        if (i < chunk_end) {
            const uint32_t* const from = starting_.data() + starts_[i - chunk];
            const uint32_t* const to = starting_.data() + starts_[i - chunk + 1];
            for (const uint32_t* p = from; p != to; ++p) {
                const uint32_t k = *p;
                reaching[k / 64] |= uint64_t{1} << (k % 64);
                busy[k / 4096] |= uint64_t{1} << (k / 64 % 64);
                any_reaching = true;
            }
        }
        if (!any_reaching) continue;

        const float z_layer = layer_height(i, cell_size_, volume_min_z_);
        int32_t n = 0;
        any_reaching = false;
        for (size_t b = 0; b < busy_count; ++b) {
            for (uint64_t words = busy[b]; words != 0; words &= words - 1) {
                const size_t w = b * 64 + static_cast<size_t>(__builtin_ctzll(words));
                uint64_t ended = 0;
                // Four lights at a time: their chords side by side, as
                // light_enters_layer computes them (every layer of a run
                // passes the exact test, so each chord is real).
                // The word's lights are looked up first and their memory
                // requested, so that the reads overlap.
                const PointLight* word_lights[64];
                int word_count = 0;
                for (uint64_t bits = reaching[w]; bits != 0; bits &= bits - 1) {
                    const int bit = __builtin_ctzll(bits);
                    const size_t j = w * 64 + static_cast<size_t>(bit);
                    const PointLight* const light = lights[j];
                    __builtin_prefetch(&light->position);
                    word_lights[word_count++] = light;
                    if (spans_[j].last == i) ended |= uint64_t{1} << bit;
                }
                for (int first = 0; first < word_count; first += 4) {
                    const int count = std::min(4, word_count - first);
                    const PointLight* group[4];
                    for (int k = 0; k < 4; ++k) group[k] = word_lights[first + (k < count ? k : 0)];
                    alignas(16) float chords[4];
#if defined(__SSE__)
                    const __m128 z = _mm_setr_ps(group[0]->position.z, group[1]->position.z,
                                                 group[2]->position.z, group[3]->position.z);
                    const __m128 radius_sq = _mm_setr_ps(group[0]->radius_sq, group[1]->radius_sq,
                                                         group[2]->radius_sq, group[3]->radius_sq);
                    const __m128 dz = _mm_andnot_ps(_mm_set1_ps(-0.0f),
                                                    _mm_sub_ps(z, _mm_set1_ps(z_layer)));
                    _mm_store_ps(chords, _mm_sqrt_ps(_mm_sub_ps(radius_sq, _mm_mul_ps(dz, dz))));
#else
                    for (int k = 0; k < 4; ++k) {
                        const float dz = std::fabs(group[k]->position.z - z_layer);
                        chords[k] = std::sqrt(group[k]->radius_sq - dz * dz);
                    }
#endif
                    for (int k = 0; k < count; ++k) {
                        const PointLight& light = *group[k];
                        float* const info = light_info_ + 3 * n;
                        float* const color = light_color_ + 3 * n;
#if defined(__SSE__)
                        // Stored four floats wide: the fourth lands in the
                        // next entry's place (or the spare float) and is
                        // overwritten by it.
                        const __m128 xy = _mm_castpd_ps(
                            _mm_load_sd(reinterpret_cast<const double*>(&light.position.x)));
                        _mm_storeu_ps(info, _mm_move_ss(_mm_shuffle_ps(xy, xy, _MM_SHUFFLE(1, 1, 0, 0)),
                                                        _mm_load_ss(&chords[k])));
                        const __m128 rg = _mm_castpd_ps(
                            _mm_load_sd(reinterpret_cast<const double*>(&light.color.x)));
                        _mm_storeu_ps(color, _mm_movelh_ps(rg, _mm_load_ss(&light.color.z)));
#else
                        info[0] = chords[k];
                        info[1] = light.position.x;
                        info[2] = light.position.y;
                        color[0] = light.color.x;
                        color[1] = light.color.y;
                        color[2] = light.color.z;
#endif
                        if (++n == BATCH_NUM) {
                            out.flush_batch(light_info_, light_color_, n);
                            n = 0;
                        }
                    }
                }
                reaching[w] &= ~ended;
                if (reaching[w] == 0)
                    busy[b] &= ~(uint64_t{1} << (w % 64));
                else
                    any_reaching = true;
            }
        }
        if (n > 0) out.flush_batch(light_info_, light_color_, n);
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
    // lights than in any frame before, and then exactly as many.
    size_for_lights(visible_lights, lights.size(), lights.size());
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
    batcher_.plan(visible_lights, lights.size(), depth, cell_size, volume_min.z);
}

void LightingSystem::emit_batches(BatchConsumer& out) { batcher_.emit(out); }

void LightingSystem::batch_layers(BatchConsumer& out) {
    plan_batches();
    emit_batches(out);
}

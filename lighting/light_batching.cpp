#include "lighting/light_batching.h"

#include "lighting/lighting_system.h"

namespace {

// The layers a light enters form one run: its distance to the layer planes
// falls and then rises as the layers go up, and entering depends only on that
// distance. Finds the run from an estimate of the nearest layer, confirming
// every layer with the exact test.
struct SpanFinder {
    float cell_size;
    float volume_min_z;
    int32_t depth;

    bool enters(const PointLight& light, int32_t layer) const {
        float chord;
        return light_enters_layer(light, layer_height(layer, cell_size, volume_min_z), cell_size,
                                  &chord);
    }

    // Signed distance from the layer's plane up to the light, as the exact
    // test computes it.
    float above(const PointLight& light, int32_t layer) const {
        return light.position.z - layer_height(layer, cell_size, volume_min_z);
    }

    void find(const PointLight& light, int32_t* first, int32_t* last) const {
        *first = 0;
        *last = -1;
        const double t = (static_cast<double>(light.position.z) - volume_min_z) / cell_size;
        int32_t c = 0;
        if (t >= depth - 1)
            c = depth - 1;
        else if (t >= 0)
            c = static_cast<int32_t>(t + 0.5);

        if (!enters(light, c)) {
            // Only layers on the light's side of c can be nearer to it.
            const float side = above(light, c);
            const int32_t step = side > 0 ? 1 : (side < 0 ? -1 : 0);
            if (step == 0) return;
            for (c += step; c >= 0 && c < depth; c += step) {
                if (enters(light, c)) break;
                const float s = above(light, c);
                if (!(step > 0 ? s > 0 : s < 0)) return;  // passed the nearest layer
            }
            if (c < 0 || c >= depth) return;
        }
        int32_t lo = c;
        while (lo > 0 && enters(light, lo - 1)) --lo;
        int32_t hi = c;
        while (hi + 1 < depth && enters(light, hi + 1)) ++hi;
        *first = lo;
        *last = hi;
    }
};

}  // namespace

void LayerBatcher::run(const std::vector<PointLight*>& lights, int32_t depth, float cell_size,
                       float volume_min_z, BatchConsumer& out) {
    const SpanFinder finder{cell_size, volume_min_z, depth};

    // Per light, its run of layers; per layer, how many entries it gets.
    spans_.resize(lights.size());
    layer_start_.assign(static_cast<size_t>(depth) + 1, 0);
    size_t total = 0;
    for (size_t j = 0; j < lights.size(); ++j) {
        Span& span = spans_[j];
        finder.find(*lights[j], &span.first, &span.last);
        for (int32_t i = span.first; i <= span.last; ++i) ++layer_start_[i + 1];
        total += static_cast<size_t>(span.last - span.first + 1);
    }
    for (int32_t i = 0; i < depth; ++i) layer_start_[i + 1] += layer_start_[i];

    // Entries grouped by layer, each layer's in the lights' order. The start
    // offsets are advanced while filling and restored afterwards.
    entries_.resize(total);
    for (size_t j = 0; j < lights.size(); ++j) {
        const PointLight& light = *lights[j];
        for (int32_t i = spans_[j].first; i <= spans_[j].last; ++i) {
            Entry& entry = entries_[layer_start_[i]++];
            entry.light = &light;
            light_enters_layer(light, layer_height(i, cell_size, volume_min_z), cell_size,
                               &entry.chord);
        }
    }
    for (int32_t i = depth; i > 0; --i) layer_start_[i] = layer_start_[i - 1];
    layer_start_[0] = 0;

    for (int32_t i = 0; i < depth; ++i) {
        out.begin_layer(i);
        int32_t n = 0;
        for (uint32_t e = layer_start_[i]; e < layer_start_[i + 1]; ++e) {
            const Entry& entry = entries_[e];
            float* info = light_info_ + 3 * n;
            float* color = light_color_ + 3 * n;
            info[0] = entry.chord;
            info[1] = entry.light->position.x;
            info[2] = entry.light->position.y;
            color[0] = entry.light->color.x;
            color[1] = entry.light->color.y;
            color[2] = entry.light->color.z;
            if (++n == BATCH_NUM) {
                out.flush_batch(light_info_, light_color_, n);
                n = 0;
            }
        }
        if (n > 0) out.flush_batch(light_info_, light_color_, n);
    }
}

void LightingSystem::collect_visible_lights() {
    visible_lights.clear();
    lights.for_each([this](PointLight& light) {
        if (light_takes_part(light, volume_min, volume_max)) visible_lights.push_back(&light);
    });
}

void LightingSystem::batch_layers(BatchConsumer& out) {
    batcher_.run(visible_lights, depth, cell_size, volume_min.z, out);
}

// A batch consumer that keeps everything it is handed, for comparisons.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "lighting/light_batching.h"

struct RecordedBatch {
    int32_t layer;
    std::vector<float> info;
    std::vector<float> color;
};

class BatchRecorder final : public BatchConsumer {
public:
    void begin_layer(int32_t layer) override {
        layers.push_back(layer);
        current = layer;
    }
    void flush_batch(const float* light_info, const float* light_color, int32_t n) override {
        batches.push_back({current, std::vector<float>(light_info, light_info + 3 * n),
                           std::vector<float>(light_color, light_color + 3 * n)});
    }

    // Batches compared bit for bit (NaN payloads included).
    bool same_as(const BatchRecorder& other) const {
        if (layers != other.layers || batches.size() != other.batches.size()) return false;
        for (size_t i = 0; i < batches.size(); ++i) {
            const RecordedBatch& a = batches[i];
            const RecordedBatch& b = other.batches[i];
            if (a.layer != b.layer || a.info.size() != b.info.size() ||
                std::memcmp(a.info.data(), b.info.data(), a.info.size() * sizeof(float)) != 0 ||
                std::memcmp(a.color.data(), b.color.data(), a.color.size() * sizeof(float)) != 0)
                return false;
        }
        return true;
    }

    std::vector<int32_t> layers;
    std::vector<RecordedBatch> batches;
    int32_t current = -1;
};

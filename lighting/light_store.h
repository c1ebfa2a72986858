// Owns the point lights of one lighting system and visits them in ascending
// address order.
//
// Lights live in blocks of fixed slots, so the address-ordered walk of a frame
// reads memory front to back. Creation and destruction cost a logarithmic
// block lookup at most; a walk allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>

#include "lighting/point_light.h"

class LightStore {
public:
    LightStore() = default;
    LightStore(const LightStore&) = delete;
    LightStore& operator=(const LightStore&) = delete;
    ~LightStore();

    // A new light in its initial state. Throws std::bad_alloc, adding nothing,
    // when memory for it cannot be had.
    PointLight* create();
    // Frees light if it is a live light of this store and returns true;
    // anything else (null, foreign, already freed) changes nothing.
    bool destroy(const void* light);
    // Frees every light, in ascending address order, and the blocks.
    void clear();

    size_t size() const { return live_count_; }

    // Calls visit(PointLight&) for every live light in ascending address order.
    template <typename Visit>
    void for_each(Visit&& visit) const;

private:
    static constexpr int slots_per_block = 256;
    static constexpr int words_per_block = slots_per_block / 64;

    struct Block {
        alignas(PointLight) unsigned char storage[slots_per_block * sizeof(PointLight)];
        uint64_t live[words_per_block] = {};
        PointLight* slot(int i) { return reinterpret_cast<PointLight*>(storage) + i; }
    };

    // A free slot holds the next free slot's address in its storage.
    struct FreeSlot {
        FreeSlot* next;
    };
    static_assert(sizeof(FreeSlot) <= sizeof(PointLight), "a free slot holds a pointer");

    void add_block();
    Block* block_of(const void* light, int* index) const;

    std::map<uintptr_t, Block*> blocks_;  // keyed by the block's first slot address
    FreeSlot* free_ = nullptr;
    size_t live_count_ = 0;
};

template <typename Visit>
void LightStore::for_each(Visit&& visit) const {
    for (const auto& entry : blocks_) {
        Block* block = entry.second;
        for (int w = 0; w < words_per_block; ++w) {
            for (uint64_t bits = block->live[w]; bits != 0; bits &= bits - 1) {
                const int bit = __builtin_ctzll(bits);
                visit(*block->slot(w * 64 + bit));
            }
        }
    }
}

#include "lighting/light_store.h"

#include <memory>
#include <new>

LightStore::~LightStore() { clear(); }

void LightStore::add_block() {
    auto block = std::make_unique<Block>();
    const auto key = reinterpret_cast<uintptr_t>(block->slot(0));
    blocks_.emplace(key, block.get());
    Block* added = block.release();
    // Thread the new slots onto the free list, lowest address first out.
    for (int i = slots_per_block - 1; i >= 0; --i) {
        auto* slot = new (added->slot(i)) FreeSlot{free_};
        free_ = slot;
    }
}

PointLight* LightStore::create() {
    if (!free_) add_block();
    FreeSlot* slot = free_;
    free_ = slot->next;
    slot->~FreeSlot();
    PointLight* light = new (static_cast<void*>(slot)) PointLight();
    int index = 0;
    Block* block = block_of(light, &index);
    block->live[index / 64] |= uint64_t{1} << (index % 64);
    ++live_count_;
    return light;
}

LightStore::Block* LightStore::block_of(const void* light, int* index) const {
    const auto address = reinterpret_cast<uintptr_t>(light);
    auto it = blocks_.upper_bound(address);
    if (it == blocks_.begin()) return nullptr;
    --it;
    const uintptr_t offset = address - it->first;
    if (offset >= slots_per_block * sizeof(PointLight) || offset % sizeof(PointLight) != 0)
        return nullptr;
    *index = static_cast<int>(offset / sizeof(PointLight));
    return it->second;
}

bool LightStore::destroy(const void* light) {
    int index = 0;
    Block* block = light ? block_of(light, &index) : nullptr;
    if (!block) return false;
    uint64_t& word = block->live[index / 64];
    const uint64_t bit = uint64_t{1} << (index % 64);
    if (!(word & bit)) return false;
    word &= ~bit;
    PointLight* doomed = block->slot(index);
    doomed->~PointLight();
    free_ = new (static_cast<void*>(doomed)) FreeSlot{free_};
    --live_count_;
    return true;
}

void LightStore::clear() {
    for_each([](PointLight& light) { light.~PointLight(); });
    for (auto& entry : blocks_) delete entry.second;
    blocks_.clear();
    free_ = nullptr;
    live_count_ = 0;
}

// Helpers for the one-owner rule of COM references.
#pragma once

// Releases the reference held in a field and clears the field at once.
template <typename T>
inline void release_ref(T*& ref) {
    if (ref) {
        T* held = ref;
        ref = nullptr;
        held->Release();
    }
}

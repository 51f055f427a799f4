// Atomic 32-bit counters in the platform's calling style.
#pragma once

#include <cstdint>

// Adds one; returns the new value (sequentially consistent).
inline int32_t InterlockedIncrement(int32_t volatile* pValue) {
    return __atomic_add_fetch(pValue, 1, __ATOMIC_SEQ_CST);
}

// Subtracts one; returns the new value (sequentially consistent).
inline int32_t InterlockedDecrement(int32_t volatile* pValue) {
    return __atomic_sub_fetch(pValue, 1, __ATOMIC_SEQ_CST);
}

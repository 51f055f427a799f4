// The reference counting of an interface implementation: one reference at creation, deleted
// with the last Release. Thread-safe.
#pragma once

#include <atomic>
#include <cstdint>

namespace ovcommon {

template <class Interface> class RefCounted : public Interface {
public:
    uint32_t AddRef() override { return ++refs_; }
    uint32_t Release() override {
        uint32_t n = --refs_;
        if (n == 0)
            delete this;
        return n;
    }

protected:
    RefCounted() = default;
    // Virtual: the last Release deletes the implementation through this base.
    virtual ~RefCounted() = default;

private:
    std::atomic<uint32_t> refs_{1};
};

} // namespace ovcommon

#include "HttpMemory.h"

#include "SysIo.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <sys/mman.h>
#include <utility>

namespace connection_memory {

namespace {

// 64 KiB chunks at 64 KiB boundaries, so a block's chunk is its address rounded down.
constexpr std::size_t chunk_size = 64 * 1024;

// The sizes a block is rounded up to.
constexpr std::array<std::size_t, 14> class_sizes = {32,  64,  96,  128, 160,  192,  256,
                                                     320, 384, 512, 768, 1024, 1536, 2048};

struct chunk;

struct size_class {
    std::mutex mutex;
    chunk* with_room = nullptr; // the chunks with a free block
    chunk* spare = nullptr;     // one empty chunk kept for the next burst
};

struct free_block {
    free_block* next;
};

struct alignas(16) chunk {
    std::size_t class_index;
    std::size_t block_size;
    std::size_t live = 0; // blocks in use
    std::size_t bump;     // the next block never handed out
    free_block* free = nullptr;
    chunk* prev = nullptr; // in the class's with_room list
    chunk* next = nullptr;
    bool listed = false;

    bool has_room() const { return free != nullptr || bump + block_size <= chunk_size; }
};

std::array<size_class, class_sizes.size()> g_classes;
std::atomic<std::size_t> g_reserved{0};

std::size_t class_of(std::size_t size) {
    std::size_t i = 0;
    while (class_sizes[i] < size)
        ++i;
    return i;
}

void link(size_class& c, chunk* k) {
    k->prev = nullptr;
    k->next = c.with_room;
    if (c.with_room)
        c.with_room->prev = k;
    c.with_room = k;
    k->listed = true;
}

void unlink(size_class& c, chunk* k) {
    if (k->prev)
        k->prev->next = k->next;
    else
        c.with_room = k->next;
    if (k->next)
        k->next->prev = k->prev;
    k->prev = k->next = nullptr;
    k->listed = false;
}

// A fresh chunk from the system, at a chunk boundary; null when there is no memory.
chunk* map_chunk(std::size_t index) {
    void* p =
        mmap(nullptr, 2 * chunk_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return nullptr;
    auto const start = reinterpret_cast<std::uintptr_t>(p);
    auto const aligned = (start + chunk_size - 1) & ~(chunk_size - 1);
    if (aligned > start)
        munmap(p, aligned - start);
    munmap(reinterpret_cast<void*>(aligned + chunk_size), start + chunk_size - aligned);
    g_reserved += chunk_size;
    auto* k = new (reinterpret_cast<void*>(aligned)) chunk;
    k->class_index = index;
    k->block_size = class_sizes[index];
    k->bump = (sizeof(chunk) + 15) & ~std::size_t(15);
    return k;
}

void unmap_chunk(chunk* k) {
    k->~chunk();
    munmap(k, chunk_size);
    g_reserved -= chunk_size;
}

} // namespace

void* allocate(std::size_t size) {
    if (size == 0)
        size = 1;
    if (size > largest_block)
        return ::operator new(size);
    auto const index = class_of(size);
    size_class& c = g_classes[index];
    std::lock_guard<std::mutex> lock(c.mutex);
    chunk* k = c.with_room;
    if (k == nullptr) {
        k = std::exchange(c.spare, nullptr);
        if (k == nullptr)
            k = map_chunk(index);
        if (k == nullptr)
            throw std::bad_alloc();
        link(c, k);
    }
    void* p;
    if (k->free != nullptr) {
        p = k->free;
        k->free = k->free->next;
    } else {
        p = reinterpret_cast<char*>(k) + k->bump;
        k->bump += k->block_size;
    }
    ++k->live;
    if (!k->has_room())
        unlink(c, k);
    return p;
}

void deallocate(void* p, std::size_t size) noexcept {
    if (p == nullptr)
        return;
    if (size == 0)
        size = 1;
    if (size > largest_block)
        return ::operator delete(p);
    auto* k = reinterpret_cast<chunk*>(reinterpret_cast<std::uintptr_t>(p) & ~(chunk_size - 1));
    size_class& c = g_classes[k->class_index];
    chunk* empty = nullptr;
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        auto* b = static_cast<free_block*>(p);
        b->next = k->free;
        k->free = b;
        if (!k->listed)
            link(c, k);
        if (--k->live > 0)
            return;
        // Empty: one is kept as the spare, any other goes back to the system.
        unlink(c, k);
        k->free = nullptr;
        k->bump = (sizeof(chunk) + 15) & ~std::size_t(15);
        empty = std::exchange(c.spare, k);
    }
    if (empty != nullptr)
        unmap_chunk(empty);
}

void release_unused() {
    for (size_class& c : g_classes) {
        chunk* spare;
        {
            std::lock_guard<std::mutex> lock(c.mutex);
            spare = std::exchange(c.spare, nullptr);
        }
        if (spare != nullptr)
            unmap_chunk(spare);
    }
    release_free_heap();
}

std::size_t reserved_bytes() {
    return g_reserved.load();
}

} // namespace connection_memory

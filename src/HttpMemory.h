// Memory for what a connection holds: its session, its pending operations, its request
// reader and its queued responses. It comes from chunks of its own, apart from the heap that the
// rest of the process uses, and a chunk goes back to the system once nothing in it is used any
// more: after a burst of connections has ended the server's memory is back where it was,
// instead of staying scattered between what lives on (Asio keeps a record per socket for
// ever).
#pragma once

#include <cstddef>
#include <new>

namespace connection_memory {

// Blocks up to this size come from the chunks; larger ones from operator new.
constexpr std::size_t largest_block = 2048;

void* allocate(std::size_t size);
void deallocate(void* p, std::size_t size) noexcept;

// Gives the chunks kept for the next burst back to the system, and the heap's free pages too;
// for when the server has had no connection for a while.
void release_unused();

// Bytes the chunks take from the system now (for tests).
std::size_t reserved_bytes();

// An allocator for standard containers, shared_ptr and Asio's handlers.
template <class T> struct allocator {
    using value_type = T;
    allocator() = default;
    template <class U> allocator(allocator<U> const&) noexcept {}
    T* allocate(std::size_t n) {
        return static_cast<T*>(connection_memory::allocate(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        connection_memory::deallocate(p, n * sizeof(T));
    }
    template <class U> bool operator==(allocator<U> const&) const noexcept { return true; }
    template <class U> bool operator!=(allocator<U> const&) const noexcept { return false; }
};

// Gives a class's objects this memory when they are made with new.
struct allocated {
    static void* operator new(std::size_t size) { return connection_memory::allocate(size); }
    static void operator delete(void* p, std::size_t size) noexcept {
        connection_memory::deallocate(p, size);
    }
};

} // namespace connection_memory

// The connections' own memory: blocks are distinct and aligned, freed from any thread, and the
// chunks go back to the system once nothing in them is used.
#include "HttpMemory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <thread>
#include <vector>

namespace {

struct Block {
    void* p;
    std::size_t size;
};

TEST(ConnectionMemory, BlocksAreDistinctAlignedAndReturned) {
    connection_memory::release_unused();
    std::mt19937 random(7);
    std::vector<Block> blocks;
    for (int i = 0; i < 20000; ++i) {
        std::size_t size = 1 + random() % (connection_memory::largest_block + 200);
        void* p = connection_memory::allocate(size);
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(p) % 16, 0u);
        std::memset(p, i & 0xff, size); // the whole block is usable
        blocks.push_back({p, size});
    }
    std::set<void*> distinct;
    for (auto& b : blocks)
        distinct.insert(b.p);
    EXPECT_EQ(distinct.size(), blocks.size());
    EXPECT_GT(connection_memory::reserved_bytes(), 0u);

    // Freed in another order, half of them on another thread.
    std::shuffle(blocks.begin(), blocks.end(), random);
    std::thread other([&] {
        for (size_t i = 0; i < blocks.size() / 2; ++i)
            connection_memory::deallocate(blocks[i].p, blocks[i].size);
    });
    for (size_t i = blocks.size() / 2; i < blocks.size(); ++i)
        connection_memory::deallocate(blocks[i].p, blocks[i].size);
    other.join();
    // At most one empty chunk a size is kept for the next burst; release gives those back.
    connection_memory::release_unused();
    EXPECT_EQ(connection_memory::reserved_bytes(), 0u);
}

TEST(ConnectionMemory, ReuseAfterABurstNeedsNoNewChunks) {
    connection_memory::release_unused();
    std::vector<void*> first;
    for (int i = 0; i < 1000; ++i)
        first.push_back(connection_memory::allocate(150));
    for (void* p : first)
        connection_memory::deallocate(p, 150);
    auto const kept = connection_memory::reserved_bytes();
    EXPECT_GT(kept, 0u); // the spare
    // One block at a time, as a single client connecting again and again: no chunk churn.
    for (int i = 0; i < 1000; ++i)
        connection_memory::deallocate(connection_memory::allocate(150), 150);
    EXPECT_EQ(connection_memory::reserved_bytes(), kept);
    connection_memory::release_unused();
    EXPECT_EQ(connection_memory::reserved_bytes(), 0u);
}

} // namespace

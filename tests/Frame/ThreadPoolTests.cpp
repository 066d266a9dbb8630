#include "velm/Frame/CThreadPool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

TEST(ThreadPool, EveryIndexRunsOnceOnTheGivenThreadsThrowsEndTheLoopAndNestedLoopsRunInline)
{
    for (uint32_t threads : {0u, 1u, 2u, 3u, 8u})
    {
        SCOPED_TRACE(threads);
        CThreadPool pool(threads);
        EXPECT_EQ(pool.GetThreadCount(), threads == 0 ? 1u : threads);
        // Several loops in a row on one pool, with counts that do and do not divide into the grain.
        for (size_t count : {0ul, 1ul, 7ul, 1000ul, 4099ul})
        {
            std::vector<std::atomic<int>> seen(count);
            pool.ParallelFor(count, 64, [&](size_t begin, size_t end, uint32_t thread) {
                ASSERT_TRUE(thread < pool.GetThreadCount() && end - begin <= 64u) << thread << ", " << begin;
                for (size_t i = begin; i < end; ++i)
                    ++seen[i];
            });
            EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<long>(count)) << count;
        }
    }
    EXPECT_GE(CThreadPool::HardwareThreads(), 1u);

    // A thrown chunk ends the loop; the pool is usable afterwards, and a loop started from a body runs
    // inline on that body's thread.
    CThreadPool pool(4);
    const auto throwAt10 = [](size_t begin, size_t, uint32_t) {
        if (begin == 10)
            throw std::runtime_error("chunk 10");
    };
    EXPECT_THROW(pool.ParallelFor(100, 1, throwAt10), std::runtime_error);
    std::atomic<int> inner{0}, outer{0};
    pool.ParallelFor(8, 1, [&](size_t, size_t, uint32_t thread) {
        ++outer;
        const std::thread::id me = std::this_thread::get_id();
        pool.ParallelFor(5, 1, [&](size_t, size_t, uint32_t innerThread) {
            EXPECT_TRUE(std::this_thread::get_id() == me && innerThread == thread);
            ++inner;
        });
    });
    EXPECT_EQ(outer, 8);
    EXPECT_EQ(inner, 40);
}

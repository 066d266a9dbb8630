#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

// A fixed set of threads that run the chunks of a loop: the thread count is given when the pool is
// made and never changes; there is no pool shared behind the caller's back.
//
// ParallelFor splits [0, count) into chunks of `grain` indices and runs them on the pool's threads,
// the calling thread among them, and returns when every chunk has run. Which thread runs which chunk
// is not fixed, so a body that writes only the slots of its own indices (and uses the thread number
// only to pick scratch space) gives the same result for every thread count.
//
// One ParallelFor at a time per pool: a second caller waits for the first. A ParallelFor called from
// inside a body of the same pool runs its loop on the calling thread alone.
class CThreadPool
{
public:
    using Body = std::function<void(size_t begin, size_t end, uint32_t thread)>;

    // threads: how many threads run a loop, the caller included; 0 counts as 1. A pool of one thread
    // starts no thread and runs every loop on the caller.
    explicit CThreadPool(uint32_t threads);
    ~CThreadPool();
    CThreadPool(const CThreadPool&) = delete;
    CThreadPool& operator=(const CThreadPool&) = delete;

    uint32_t GetThreadCount() const;

    // The first exception a chunk throws is thrown here once every chunk has ended; chunks not yet
    // started when it was thrown are skipped.
    void ParallelFor(size_t count, size_t grain, const Body& body);

    // The number of hardware threads, at least 1.
    static uint32_t HardwareThreads();

private:
    struct SImpl;
    std::unique_ptr<SImpl> m_pImpl;
};

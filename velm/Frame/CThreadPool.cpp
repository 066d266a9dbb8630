#include "velm/Frame/CThreadPool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace
{
// The pool a thread is running a loop of, and its number there: a loop started from inside a body of
// the same pool must not wait for threads that are busy with the outer loop.
thread_local const void* t_pool = nullptr;
thread_local uint32_t t_thread = 0;
} // namespace

struct CThreadPool::SImpl
{
    uint32_t threads = 1;
    std::vector<std::thread> workers;
    std::mutex call;              // one loop at a time
    std::mutex mutex;             // guards what follows
    std::condition_variable wake; // a new loop, or the end
    std::condition_variable done; // every worker has left the loop
    uint64_t generation = 0;
    bool stop = false;
    size_t active = 0;

    // The loop being run.
    const Body* body = nullptr;
    size_t count = 0;
    size_t grain = 1;
    size_t chunks = 0;
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;

    void RunChunks(uint32_t thread)
    {
        const void* outerPool = t_pool;
        const uint32_t outerThread = t_thread;
        t_pool = this;
        t_thread = thread;
        for (;;)
        {
            const size_t chunk = next.fetch_add(1);
            if (chunk >= chunks)
                break;
            if (failed.load())
                continue;
            const size_t begin = chunk * grain;
            try
            {
                (*body)(begin, std::min(count, begin + grain), thread);
            }
            catch (...)
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (!error)
                    error = std::current_exception();
                failed = true;
            }
        }
        t_pool = outerPool;
        t_thread = outerThread;
    }

    void Work(uint32_t thread)
    {
        uint64_t seen = 0;
        for (;;)
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait(lock, [&] { return stop || generation != seen; });
            if (stop)
                return;
            seen = generation;
            lock.unlock();
            RunChunks(thread);
            lock.lock();
            if (--active == 0)
                done.notify_all();
        }
    }
};

CThreadPool::CThreadPool(uint32_t threads) : m_pImpl(std::make_unique<SImpl>())
{
    m_pImpl->threads = std::max<uint32_t>(threads, 1);
    for (uint32_t t = 1; t < m_pImpl->threads; ++t)
        m_pImpl->workers.emplace_back([this, t] { m_pImpl->Work(t); });
}

CThreadPool::~CThreadPool()
{
    {
        std::lock_guard<std::mutex> lock(m_pImpl->mutex);
        m_pImpl->stop = true;
    }
    m_pImpl->wake.notify_all();
    for (std::thread& worker : m_pImpl->workers)
        worker.join();
}

uint32_t CThreadPool::GetThreadCount() const
{
    return m_pImpl->threads;
}

void CThreadPool::ParallelFor(size_t count, size_t grain, const Body& body)
{
    if (count == 0)
        return;
    grain = std::max<size_t>(grain, 1);
    SImpl& p = *m_pImpl;
    if (p.workers.empty() || t_pool == &p)
    {
        const uint32_t thread = t_pool == &p ? t_thread : 0;
        for (size_t begin = 0; begin < count; begin += grain)
            body(begin, std::min(count, begin + grain), thread);
        return;
    }
    std::lock_guard<std::mutex> call(p.call);
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        p.body = &body;
        p.count = count;
        p.grain = grain;
        p.chunks = (count + grain - 1) / grain;
        p.next = 0;
        p.failed = false;
        p.error = nullptr;
        p.active = p.workers.size();
        ++p.generation;
    }
    p.wake.notify_all();
    p.RunChunks(0);
    std::unique_lock<std::mutex> lock(p.mutex);
    p.done.wait(lock, [&] { return p.active == 0; });
    p.body = nullptr;
    if (p.error)
        std::rethrow_exception(p.error);
}

uint32_t CThreadPool::HardwareThreads()
{
    return std::max<uint32_t>(std::thread::hardware_concurrency(), 1);
}

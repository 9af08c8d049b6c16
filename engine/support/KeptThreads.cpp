#include "support/KeptThreads.h"
#include <deque>
#include <thread>
#include "support/SlimLock.h"

namespace {
struct Pool {
    CSlimLock lock;
    CSlimCondition wake;
    std::deque<std::function<void()>> jobs;
    unsigned waiting = 0;  // kept threads waiting for a job, some perhaps already woken for one
};

// Never destroyed: kept threads wait in it until the process ends.
Pool& ThePool()
{
    static Pool* pool = new Pool;
    return *pool;
}

void Serve(Pool& pool, std::function<void()> job)
{
    for (;;) {
        if (job) job();
        job = nullptr;  // what it holds goes before the thread waits again
        std::unique_lock<CSlimLock> lock(pool.lock);
        ++pool.waiting;
        pool.wake.wait(lock, [&] { return !pool.jobs.empty(); });
        --pool.waiting;
        job = std::move(pool.jobs.front());
        pool.jobs.pop_front();
    }
}
} // namespace

void KeptThreads::Run(std::function<void()> job)
{
    Pool& pool = ThePool();
    {
        std::lock_guard<CSlimLock> lock(pool.lock);
        if (pool.waiting > pool.jobs.size()) {
            pool.jobs.push_back(std::move(job));
            pool.wake.notify_one();
            return;
        }
    }
    std::thread([&pool, job = std::move(job)]() mutable { Serve(pool, std::move(job)); }).detach();
}

void KeptThreads::Keep(unsigned n)
{
    Pool& pool = ThePool();
    unsigned wanted = 0;
    {
        std::lock_guard<CSlimLock> lock(pool.lock);
        wanted = n > pool.waiting ? n - pool.waiting : 0;
    }
    if (wanted == 0) return;
    try {
        std::thread([&pool, wanted] {
            try {
                for (unsigned i = 0; i < wanted; ++i) std::thread([&pool] { Serve(pool, nullptr); }).detach();
            } catch (...) {
                // Fewer kept threads: jobs make their own.
            }
        }).detach();
    } catch (...) {
    }
}

unsigned KeptThreads::Waiting()
{
    Pool& pool = ThePool();
    std::lock_guard<CSlimLock> lock(pool.lock);
    return pool.waiting - static_cast<unsigned>(pool.jobs.size());
}

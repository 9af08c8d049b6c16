// A lock and a condition for the transfers' hot paths, on the system's slim
// reader/writer lock and condition variable. The std::mutex and
// std::condition_variable of our toolchain sit on kernel objects (events,
// semaphores): every contended lock, wait and wake is a system call, and
// under Wine a round trip to its server, which on two cores took CPU from the
// digests and the window. The slim ones wait and wake within the process.
// Both work with std::lock_guard and std::unique_lock.
#pragma once
#include <windows.h>
#include <mutex>

class CSlimLock {
public:
    CSlimLock() = default;
    CSlimLock(const CSlimLock&) = delete;
    CSlimLock& operator=(const CSlimLock&) = delete;
    void lock() { ::AcquireSRWLockExclusive(&m_lock); }
    bool try_lock() { return ::TryAcquireSRWLockExclusive(&m_lock) != FALSE; }
    void unlock() { ::ReleaseSRWLockExclusive(&m_lock); }

private:
    friend class CSlimCondition;
    SRWLOCK m_lock = SRWLOCK_INIT;
};

class CSlimCondition {
public:
    CSlimCondition() = default;
    CSlimCondition(const CSlimCondition&) = delete;
    CSlimCondition& operator=(const CSlimCondition&) = delete;

    // Waits, with the lock held, until pred() holds.
    template <class Pred>
    void wait(std::unique_lock<CSlimLock>& lock, Pred pred)
    {
        while (!pred()) WaitFor(lock, INFINITE);
    }
    // One wait of at most ms milliseconds (woken early by a notify, or for no reason).
    void WaitFor(std::unique_lock<CSlimLock>& lock, DWORD ms)
    {
        ::SleepConditionVariableSRW(&m_cond, &lock.mutex()->m_lock, ms, 0);
    }
    void notify_one() { ::WakeConditionVariable(&m_cond); }
    void notify_all() { ::WakeAllConditionVariable(&m_cond); }

private:
    CONDITION_VARIABLE m_cond = CONDITION_VARIABLE_INIT;
};

#include "transfer/TransferPool.h"
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include "support/SlimLock.h"
#include "transfer/Transfer.h"

namespace {
class CTransferPool {
public:
    CTransferPool(const std::vector<DownloadTask*>& tasks, CInternetSession* session, const PoolFolders& folders,
                  PoolRun& run, PoolReport& report)
        : m_tasks(tasks), m_session(session), m_folders(folders), m_run(run), m_report(report),
          m_slots(new Slot[tasks.size()])
    {
    }
    PoolResult Run(unsigned width);

private:
    // One file's state. The atomics are written by its transfer; the rest is
    // the report's, under m_reporting.
    struct Slot {
        std::atomic<UINT64> bytes{ 0 };
        std::atomic<bool> started{ false };
        std::atomic<bool> done{ false };
        bool startReported = false;
        UINT64 reportedBytes = 0;
    };
    // What one file's transfer sees of the pool.
    class SlotSink : public TransferSink {
    public:
        SlotSink(CTransferPool& pool, size_t index) : m_pool(pool), m_index(index) {}
        bool StopRequested() const override { return m_pool.m_halted.load() || m_pool.m_run.StopRequested(); }
        bool StopPlatform() override { return m_pool.m_run.StopPlatform(); }
        void FileStarted(const DownloadTask&) override { m_pool.FileStarted(m_index); }
        void FileProgress(const DownloadTask&, UINT64 fileBytes, UINT n) override
        {
            m_pool.FileProgress(m_index, fileBytes, n);
        }
        void Activity() override { m_pool.m_run.Activity(); }
        void LocalWork(bool busy) override { m_pool.m_run.LocalWork(busy); }

    private:
        CTransferPool& m_pool;
        const size_t m_index;
    };

    void Work();
    void FileStarted(size_t i);
    void FileProgress(size_t i, UINT64 fileBytes, UINT n);
    void FileDone(size_t i);
    void FileFailed(size_t i, const Outcome& outcome);
    void RequestCatchUp();
    void CatchUp();

    const std::vector<DownloadTask*>& m_tasks;
    CInternetSession* const m_session;
    const PoolFolders& m_folders;
    PoolRun& m_run;
    PoolReport& m_report;
    std::unique_ptr<Slot[]> m_slots;
    std::atomic<size_t> m_next{ 0 };  // the next file a transfer takes
    std::atomic<size_t> m_head{ 0 };  // the earliest file still arriving
    std::atomic<UINT64> m_runBytes{ 0 };
    std::atomic<bool> m_halted{ false };
    CSlimLock m_reporting;  // report calls, moves of the head, the first failure
    std::atomic<bool> m_catchUpPending{ false };
    Outcome m_failure = Outcome::Done();
    const DownloadTask* m_failed = nullptr;
};

PoolResult CTransferPool::Run(unsigned width)
{
    const size_t count = m_tasks.size();
    if (count == 0) return { Outcome::Done(), nullptr };
    m_report.Connecting(*m_tasks[0]);
    std::vector<std::thread> transfers;
    const size_t wanted = width == 0 ? 1 : (width < count ? width : count);
    try {
        while (transfers.size() < wanted) transfers.emplace_back([this] { Work(); });
    } catch (...) {
        // Fewer threads than wanted is fewer files at once, nothing worse.
        if (transfers.empty()) Work();
    }
    for (std::thread& t : transfers) t.join();
    RequestCatchUp();
    if (m_failed) return { m_failure, m_failed };
    if (m_head.load() < count) return { Outcome::Stopped(), nullptr };
    return { Outcome::Done(), nullptr };
}

// One transfer: files in the manifest's order until none is left, a stop is
// asked for, or another transfer failed. A stop between two files ends it
// before the next file is opened.
void CTransferPool::Work()
{
    for (;;) {
        if (m_halted.load() || m_run.StopRequested()) return;
        const size_t i = m_next++;
        if (i >= m_tasks.size()) return;
        SlotSink sink(*this, i);
        const TransferContext context{ m_session, m_folders.tempDir, m_folders.installDir, sink, m_folders.earlyPatch };
        const Outcome outcome = FetchFile(context, *m_tasks[i]);
        if (outcome.IsDone()) {
            FileDone(i);
        } else if (outcome.IsFailed()) {
            FileFailed(i, outcome);
        } else {
            m_halted.store(true);
            return;
        }
    }
}

// A transfer stores its state before it looks at the head, and the head moves
// (under m_reporting) before the new head's state is read: whichever comes
// second reports it, so nothing is missed and the order holds.
void CTransferPool::FileStarted(size_t i)
{
    Slot& slot = m_slots[i];
    m_runBytes -= slot.bytes.exchange(0);  // a second attempt takes its bytes back
    slot.started.store(true);
    if (i != m_head.load()) return;
    {
        std::lock_guard<CSlimLock> lock(m_reporting);
        if (i != m_head.load()) {
        } else if (!slot.startReported) {
            slot.startReported = true;
            m_report.Started(*m_tasks[i]);
        } else if (slot.reportedBytes != 0) {
            slot.reportedBytes = 0;
            m_report.Progress(*m_tasks[i], 0, m_runBytes.load());
        }
    }
    if (m_catchUpPending.load()) RequestCatchUp();
}

void CTransferPool::FileProgress(size_t i, UINT64 fileBytes, UINT n)
{
    Slot& slot = m_slots[i];
    slot.bytes.store(fileBytes);
    m_runBytes += n;
    if (i != m_head.load()) return;
    {
        std::lock_guard<CSlimLock> lock(m_reporting);
        if (i == m_head.load()) {
            slot.reportedBytes = fileBytes;
            m_report.Progress(*m_tasks[i], fileBytes, m_runBytes.load());
        }
    }
    if (m_catchUpPending.load()) RequestCatchUp();
}

void CTransferPool::FileDone(size_t i)
{
    m_slots[i].done.store(true);
    RequestCatchUp();
}

// A transfer that finished a file does not wait for the window: when another
// thread is reporting, that thread catches up once it lets go.
void CTransferPool::RequestCatchUp()
{
    m_catchUpPending.store(true);
    while (m_catchUpPending.load()) {
        std::unique_lock<CSlimLock> lock(m_reporting, std::try_to_lock);
        if (!lock.owns_lock()) return;
        m_catchUpPending.store(false);
        CatchUp();
    }
}

// The others stop at their next block (closing the session would cut their
// reads, but under Wine it reads what is left of every answer on this thread).
void CTransferPool::FileFailed(size_t i, const Outcome& outcome)
{
    std::lock_guard<CSlimLock> lock(m_reporting);
    if (m_failed) return;
    m_failed = m_tasks[i];
    m_failure = outcome;
    m_halted.store(true);
}

// Under m_reporting: shows the earliest file as it is now, and moves past the
// files that have arrived, each done in turn.
void CTransferPool::CatchUp()
{
    for (size_t h = m_head.load(); h < m_tasks.size() && !m_failed; h = m_head.load()) {
        Slot& slot = m_slots[h];
        DownloadTask& task = *m_tasks[h];
        if (slot.started.load() && !slot.startReported) {
            slot.startReported = true;
            m_report.Started(task);
        }
        const UINT64 bytes = slot.bytes.load();
        if (slot.startReported && bytes != slot.reportedBytes) {
            slot.reportedBytes = bytes;
            m_report.Progress(task, bytes, m_runBytes.load());
        }
        if (!slot.done.load()) return;
        task.bDone = TRUE;
        m_report.Done(task);
        m_head.store(h + 1);
        // After a stop the next file is not announced: the run ends here.
        if (m_halted.load() || m_run.StopRequested()) return;
        if (h + 1 < m_tasks.size()) m_report.Connecting(*m_tasks[h + 1]);
    }
}
} // namespace

PoolResult FetchAll(const std::vector<DownloadTask*>& tasks, CInternetSession* session, const PoolFolders& folders,
                    PoolRun& run, PoolReport& report, unsigned width)
{
    return CTransferPool(tasks, session, folders, run, report).Run(width);
}

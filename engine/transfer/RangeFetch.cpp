#include "transfer/RangeFetch.h"
#include <atomic>
#include <cstring>
#include "support/KeptThreads.h"
#include "transfer/FileFetch.h"

namespace {
// Requests beyond each fetch's first, for all fetches of the process.
std::atomic<unsigned> s_extraLeft{ kExtraRangesInFlight };

bool TakeExtra()
{
    for (unsigned n = s_extraLeft.load(); n > 0;)
        if (s_extraLeft.compare_exchange_weak(n, n - 1)) return true;
    return false;
}

// No more ranges at once, threads or buffers than there are ranges; at least one.
unsigned Width(size_t ranges, unsigned wanted)
{
    const size_t width = wanted ? wanted : 1;
    return static_cast<unsigned>(ranges == 0 ? 1 : (ranges < width ? ranges : width));
}

// Another fetch gives its extra back without telling us: look again this often.
const DWORD kBudgetPollMs = 20;
// A reader waiting for bytes looks at the stop token this often.
const DWORD kStopPollMs = 100;
} // namespace

CRangeFetch::CRangeFetch(std::vector<ByteRange> ranges, Opener open, TransferSink& sink, unsigned width,
                         UINT bufferBytes, UINT64 lookahead)
    : m_ranges(std::move(ranges)), m_open(std::move(open)), m_sink(sink),
      m_width(Width(m_ranges.size(), width)),
      m_lookahead(lookahead), m_slots(m_width), m_workers(std::make_shared<Workers>())
{
    for (Slot& slot : m_slots) slot.ring.resize(bufferBytes ? bufferBytes : 1);
    for (unsigned i = 0; i < m_width && i < m_ranges.size(); ++i) {
        {
            std::lock_guard<CSlimLock> lock(m_workers->lock);
            ++m_workers->running;
        }
        try {
            // The count is the job's own: it outlives this object, which may
            // be gone the moment the count reaches zero.
            KeptThreads::Run([this, workers = m_workers] {
                Work();
                std::lock_guard<CSlimLock> lock(workers->lock);
                if (--workers->running == 0) workers->ended.notify_all();
            });
        } catch (...) {
            std::lock_guard<CSlimLock> lock(m_workers->lock);
            --m_workers->running;
            // Fewer threads is fewer ranges at once; none is no fetch.
            if (i == 0) throw;
            break;
        }
    }
}

CRangeFetch::~CRangeFetch()
{
    {
        std::lock_guard<CSlimLock> lock(m_lock);
        m_ended = true;
    }
    m_takeable.notify_all();
    m_arrived.notify_all();
    for (Slot& slot : m_slots) slot.drained.notify_all();
    std::unique_lock<CSlimLock> lock(m_workers->lock);
    m_workers->ended.wait(lock, [this] { return m_workers->running == 0; });
}

void CRangeFetch::Work()
{
    size_t index = 0;
    bool extra = false;
    while (TakeRange(index, extra)) {
        Receive(index);
        // The request is closed: its connection goes back to the session.
        if (extra) {
            ++s_extraLeft;
        } else {
            std::lock_guard<CSlimLock> lock(m_lock);
            m_firstHeld = false;
        }
        m_takeable.notify_all();
    }
}

bool CRangeFetch::NextIsDue() const
{
    // Range i goes in the slot of range i - width, which must have been read,
    // and is asked for once the reader is near it.
    return m_next < m_ranges.size() && !m_taking && m_next < m_reading + m_width &&
           (m_ranges[m_next].offset <= m_reached || m_ranges[m_next].offset - m_reached <= m_lookahead);
}

void CRangeFetch::WakeTakersIfDue()
{
    if (NextIsDue()) m_takeable.notify_all();
}

bool CRangeFetch::TakeRange(size_t& index, bool& extra)
{
    std::unique_lock<CSlimLock> lock(m_lock);
    m_takeable.wait(lock, [this] { return m_ended || m_next >= m_ranges.size() || NextIsDue(); });
    if (m_ended || m_next >= m_ranges.size()) return false;
    m_taking = true;
    index = m_next++;
    // In range order: when the range being read needs a connection, none of
    // this fetch's later ranges holds one, so its own is free.
    bool taken = false;
    while (!m_ended && !taken) {
        if (!m_firstHeld) {
            m_firstHeld = taken = true;
            extra = false;
        } else if (TakeExtra()) {
            taken = extra = true;
        } else {
            m_takeable.WaitFor(lock, kBudgetPollMs);
        }
    }
    m_taking = false;
    if (taken && m_ended) {
        if (extra) ++s_extraLeft;
        else m_firstHeld = false;
        taken = false;
    }
    WakeTakersIfDue();
    return taken;
}

void CRangeFetch::Receive(size_t index)
{
    Slot& slot = m_slots[index % m_width];
    try {
        std::unique_ptr<CHttpFile> http = m_open(index);
        m_sink.Activity();
        for (UINT64 left = m_ranges[index].length; left > 0;) {
            BYTE* at = nullptr;
            UINT room = 0;
            if (!Room(slot, at, room)) return;
            const UINT got = http->Read(at, room < left ? room : static_cast<UINT>(left));
            m_sink.Activity();
            if (got == 0) throw CInternetException(ERROR_INTERNET_CONNECTION_ABORTED);
            Filled(slot, got);
            left -= got;
        }
    } catch (...) {
        std::lock_guard<CSlimLock> lock(m_lock);
        slot.failed = std::current_exception();
        m_arrived.notify_all();
    }
}

bool CRangeFetch::Room(Slot& slot, BYTE*& at, UINT& room)
{
    std::unique_lock<CSlimLock> lock(m_lock);
    const size_t capacity = slot.ring.size();
    slot.drained.wait(lock, [&] { return m_ended || slot.fill < capacity; });
    if (m_ended) return false;
    // The reader copies out of [head, head + fill) meanwhile: the free part is the writer's alone.
    const size_t tail = (slot.head + slot.fill) % capacity;
    const size_t free = capacity - slot.fill, straight = capacity - tail;
    room = static_cast<UINT>(free < straight ? free : straight);
    at = slot.ring.data() + tail;
    return true;
}

void CRangeFetch::Filled(Slot& slot, UINT n)
{
    std::lock_guard<CSlimLock> lock(m_lock);
    slot.fill += n;
    m_arrived.notify_all();
}

UINT CRangeFetch::Available(const BYTE*& at)
{
    std::unique_lock<CSlimLock> lock(m_lock);
    for (;;) {
        if (m_reading >= m_ranges.size()) throw TransferRejected{ "a patch read past its ranges" };
        Slot& slot = m_slots[m_reading % m_width];
        if (slot.fill > 0) {
            const size_t straight = slot.ring.size() - slot.head;
            at = slot.ring.data() + slot.head;
            return static_cast<UINT>(slot.fill < straight ? slot.fill : straight);
        }
        if (slot.failed) std::rethrow_exception(slot.failed);
        if (m_sink.StopRequested()) throw TransferStopped{};
        // Waiting for a range means being at it, whatever the reader said.
        if (m_reached < m_ranges[m_reading].offset) {
            m_reached = m_ranges[m_reading].offset;
            WakeTakersIfDue();
        }
        m_arrived.WaitFor(lock, kStopPollMs);
    }
}

void CRangeFetch::Consumed(UINT n)
{
    std::lock_guard<CSlimLock> lock(m_lock);
    Slot& slot = m_slots[m_reading % m_width];
    slot.head = (slot.head + n) % slot.ring.size();
    slot.fill -= n;
    m_readInRange += n;
    const UINT64 at = m_ranges[m_reading].offset + m_readInRange;
    if (m_reached < at) m_reached = at;
    if (m_readInRange == m_ranges[m_reading].length) {
        // Read to its end: the slot takes range m_reading + width.
        slot.head = slot.fill = 0;
        slot.failed = nullptr;
        ++m_reading;
        m_readInRange = 0;
    }
    slot.drained.notify_all();
    WakeTakersIfDue();
}

void CRangeFetch::Reached(UINT64 offset)
{
    std::lock_guard<CSlimLock> lock(m_lock);
    if (offset <= m_reached) return;
    m_reached = offset;
    WakeTakersIfDue();
}

void CRangeFetch::Read(BYTE* into, UINT n)
{
    while (n > 0) {
        const BYTE* at = nullptr;
        UINT k = Available(at);
        if (k > n) k = n;
        std::memcpy(into, at, k);
        Consumed(k);
        into += k;
        n -= k;
    }
}

void CRangeFetch::Skip(UINT64 n)
{
    while (n > 0) {
        const BYTE* at = nullptr;
        UINT k = Available(at);
        if (k > n) k = static_cast<UINT>(n);
        Consumed(k);
        n -= k;
    }
}

// A patch's ranges in flight: the ranges of one URL are requested several at
// once on the run's session and read back in order, as one stream (the bytes
// of the first range, then of the second, ...), so a patch over a distant
// link costs a few round trips, not one per range. Each range in flight
// streams into a buffer of its own that the reader drains: memory stays
// kRangesInFlight x kRangeBufferBytes whatever a range's size. A range is
// asked for only once the reader is near it (the lookahead, in the ranges'
// own offsets), so no connection waits long with its answer half read.
//
// Connections: a request holds one while its answer arrives. Every fetch
// may always have one request (its first in line) open; more come from a
// budget the whole process shares (kExtraRangesInFlight), taken in range
// order. A request blocked on a full buffer is never the one the reader
// waits for, so fetches waiting on each other's connections cannot deadlock.
#pragma once
#include <windows.h>
#include <exception>
#include <functional>
#include <memory>
#include <vector>
#include "afxinet.h"
#include "rules/Chunker.h"
#include "support/SlimLock.h"
#include "transfer/TransferPool.h"

class TransferSink;

const unsigned kRangesInFlight = 16;
const UINT kRangeBufferBytes = 64 * 1024;
// Local bytes are written at a few hundred MB/s: a range this far ahead of
// the writer is needed within a quarter of a second or so, time for a request
// over a distant link; asked for all at once, the ranges' connections would
// take the cores from the digests just as the writing starts.
const UINT64 kRangeLookaheadBytes = 64ull << 20;

class CRangeFetch {
public:
    // Opens the request for ranges[i] and checks that its answer is that range;
    // throws (CInternetException, TransferRejected, ...) when it is not.
    using Opener = std::function<std::unique_ptr<CHttpFile>(size_t i)>;

    // No range may be empty.
    CRangeFetch(std::vector<ByteRange> ranges, Opener open, TransferSink& sink, unsigned width = kRangesInFlight,
                UINT bufferBytes = kRangeBufferBytes, UINT64 lookahead = ~0ull);
    // Ends every request still in flight and waits for them.
    ~CRangeFetch();
    CRangeFetch(const CRangeFetch&) = delete;
    CRangeFetch& operator=(const CRangeFetch&) = delete;

    // The next n bytes of the stream, as they arrive. Throws what a request
    // threw when the reader reaches its range, TransferStopped on a stop.
    void Read(BYTE* into, UINT n);
    // Passes over the next n bytes of the stream.
    void Skip(UINT64 n);
    // The reader has come to this offset (in the ranges' terms) by other means.
    void Reached(UINT64 offset);

private:
    // One range in flight: its bytes in a ring buffer, filled by its request's
    // thread and drained by the reader.
    struct Slot {
        std::vector<BYTE> ring;
        size_t head = 0, fill = 0;
        std::exception_ptr failed;
        CSlimCondition drained;  // its request's thread waits here for room
    };
    void Work();
    // The next range may be requested now (under m_lock).
    bool NextIsDue() const;
    // Wakes the threads waiting to request a range, when one of them can (under m_lock).
    void WakeTakersIfDue();
    // The next range to request and a connection for it, in range order;
    // false when there is none or the fetch ends.
    bool TakeRange(size_t& index, bool& extra);
    void Receive(size_t index);
    // Waits for room in the slot; the free part where the next bytes go.
    bool Room(Slot& slot, BYTE*& at, UINT& room);
    void Filled(Slot& slot, UINT n);
    // Waits for bytes of the range being read; how many lie together at 'at'.
    UINT Available(const BYTE*& at);
    void Consumed(UINT n);

    const std::vector<ByteRange> m_ranges;
    const Opener m_open;
    TransferSink& m_sink;
    const unsigned m_width;
    const UINT64 m_lookahead;
    std::vector<Slot> m_slots;  // range i in slot i % m_width
    // The request threads still working (kept threads: support/KeptThreads.h).
    struct Workers {
        CSlimLock lock;
        CSlimCondition ended;
        unsigned running = 0;
    };
    std::shared_ptr<Workers> m_workers;

    // Each waiter has its own condition, so that a block read or written
    // wakes only who may go on: not every request's thread at every block.
    CSlimLock m_lock;
    CSlimCondition m_arrived;    // the reader waits here for bytes or a failure
    CSlimCondition m_takeable;   // request threads wait here for a range and a connection
    size_t m_next = 0;          // the next range to request
    size_t m_reading = 0;       // the range being read
    UINT64 m_readInRange = 0;
    UINT64 m_reached = 0;       // where the reader is
    bool m_firstHeld = false;   // the fetch's own request is in use
    bool m_taking = false;      // a thread is taking the next range
    bool m_ended = false;
};

// Several files in flight: the queued files are fetched by a small pool of
// transfers over one session, so that many files over a distant link cost
// their bytes, not their count times the round trip. The window still hears
// of one file at a time, in the manifest's order: the earliest file still
// arriving (the one a player waits for) reports its own blocks as it writes
// them, exactly as a lone transfer does, and the byte count adds up every
// file's bytes. Every file is reported connecting, started and done once each,
// and nothing of a file is reported after its done.
#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "support/Outcome.h"
#include "support/Task.h"

class CInternetSession;
class CEarlyPatch;

// What the pool reports, in the manifest's order. Calls never overlap; they
// come from whichever transfer's thread moves the earliest file on.
class PoolReport {
public:
    virtual void Connecting(const DownloadTask& task) = 0;
    virtual void Started(const DownloadTask& task) = 0;
    // fileBytes of the earliest file still arriving; runBytes of every file.
    virtual void Progress(const DownloadTask& task, UINT64 fileBytes, UINT64 runBytes) = 0;
    virtual void Done(const DownloadTask& task) = 0;

protected:
    ~PoolReport() = default;
};

// What the transfers share of the run: the stop token, the platform stopper
// (called from several threads: it must serialise itself), activity and
// local work for the stall watchdog.
class PoolRun {
public:
    virtual bool StopRequested() const = 0;
    virtual bool StopPlatform() = 0;
    virtual void Activity() = 0;
    virtual void LocalWork(bool busy) = 0;

protected:
    ~PoolRun() = default;
};

// Where the files go and come from, and a patch's survey made ahead (may be null).
struct PoolFolders {
    std::string tempDir;
    std::string installDir;
    CEarlyPatch* earlyPatch = nullptr;
};

// How the pool ended: Done (every file verified in the temporary folder),
// Stopped (the run's stop token), or Failed with the file that failed first
// (the first failure stops every other transfer at its next block).
struct PoolResult {
    Outcome outcome;
    const DownloadTask* failed;
};

// The transfers in flight at once: browsers open six connections per server,
// download managers eight to sixteen; bench/latency/run.sh chose this.
const unsigned kTransfersInFlight = 12;
// Range requests patches keep in flight beyond one each, all transfers
// together (RangeFetch.h); with the transfers' own, the connections the
// process may hold on one server.
const unsigned kExtraRangesInFlight = 16;
const unsigned kConnectionsPerServer = kTransfersInFlight + kExtraRangesInFlight;

// Fetches every task, at most width at once, reporting through report. Returns
// once every transfer has ended.
PoolResult FetchAll(const std::vector<DownloadTask*>& tasks, CInternetSession* session, const PoolFolders& folders,
                    PoolRun& run, PoolReport& report, unsigned width = kTransfersInFlight);

// One queued file's transfer, from its .dtm as an earlier run left it to its
// .dtm verified. It sees the run only through its context: the HTTP session,
// the folders, and a sink that is the progress report, the stop token and the
// platform stopper at once.
#pragma once
#include <windows.h>
#include <string>
#include "support/Outcome.h"
#include "support/Task.h"

class CInternetSession;
class CEarlyPatch;

class TransferSink {
public:
    // The user asked to stop, or the window is gone.
    virtual bool StopRequested() const = 0;
    // Stops the running platform before a file is written; false when it could not be stopped.
    virtual bool StopPlatform() = 0;
    // An attempt at the file begins; a second attempt starts its bars over.
    virtual void FileStarted(const DownloadTask& task) = 0;
    // n more bytes of the file were placed, fileBytes in all.
    virtual void FileProgress(const DownloadTask& task, UINT64 fileBytes, UINT n) = 0;
    // Bytes arrived or local work moved on: the transfer is not stalled.
    virtual void Activity() = 0;
    // Local work that may take long without a byte from the network (a big
    // .dtm flushed to slow media and its digests finished) begins or ends:
    // while it lasts the transfer is not stalled.
    virtual void LocalWork(bool busy) = 0;

protected:
    ~TransferSink() = default;
};

struct TransferContext {
    CInternetSession* session;  // null: every request fails
    std::string tempDir;
    std::string installDir;
    TransferSink& sink;
    CEarlyPatch* earlyPatch;  // a patch's survey made ahead (EarlyPatch.h); may be null
};

// Brings the file into the temporary folder as <local name>.dtm, verified.
// What it costs follows what changed: a verified .dtm from an earlier run is
// used as it is, an interrupted one is resumed, a file with a chunk index is
// patched from the installed copy, and anything that goes wrong on those
// paths falls back, once, to the whole file. A failure's text is the network
// or file layer's description (empty for a rejected answer or wrong bytes).
// A partial download is kept for the next run, except on a full disk (where
// keeping it would keep the disk full) and when its bytes or its server's
// answer show it cannot be continued.
Outcome FetchFile(const TransferContext& context, const DownloadTask& task);

// How the update engine reports a run: one callback, called on the worker thread.
#pragma once
#include <windows.h>

enum : int {
    US_CONNECTING = 1,      // a file's URL is about to be opened
    US_FILE_START = 3,      // first block accepted; total = announced length
    US_PROGRESS = 4,        // a block was written; done = file bytes, total = run bytes
    US_FILE_DONE = 5,       // a file is complete
    US_ALL_DOWNLOADED = 6,  // every queued file is complete (also for an empty queue)
    US_CANCELLED = 7,       // the run stopped on request
    US_INSTALLING = 8,      // installation begins
    US_FINISHED = 9,        // installation ended
    US_FAILED = 32          // a transfer failed; the run ends
};

class UpdateNotify {
public:
    virtual void OnUpdateNotify(UINT32 dwDone, UINT32 dwTotal, int nStatus, const char* pszText) = 0;
protected:
    ~UpdateNotify() = default;
};

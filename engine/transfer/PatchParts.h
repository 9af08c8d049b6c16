// A patch's parts before it writes anything (for Patch.cpp and EarlyPatch.cpp
// only): the local copies cut into chunks and groups, what was fetched of the
// chunk index, and the lists of the groups not found locally.
#pragma once
#include <windows.h>
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include "afxfile.h"
#include "rules/LevelledIndex.h"

// The local copies a patch takes bytes from, found by identity.
struct PatchSources {
    std::vector<std::string> paths;
    CLocalIndex index;
    std::vector<std::unique_ptr<CSharedReadFile>> files;  // once opened, one per path
    bool whole = false;  // every copy was read to its end

    void Cut(const std::function<bool()>& stopped);
    // Opens every copy for the bytes the patch takes from it (once the platform is stopped).
    void Open();
};

// What a patch fetched of the index, for the log.
struct IndexFetch {
    std::vector<unsigned char> prefix;  // the index's first bytes (at least the head)
    UINT64 total = 0;                   // the index's length, when an answer told it
    bool rangesAnswered = true;         // false: its server sent the whole index
    UINT64 listBytes = 0;
    size_t requests = 0;
};

struct PatchSurvey {
    PatchSources local;
    IndexFetch index;
    IndexHead head;
    std::vector<std::vector<IndexChunk>> lists;  // one per group; empty for a group found locally
};

// One queued file, and the rules about it that every room of the engine
// shares. Anything may include this header; it includes no room.
#pragma once
#include <windows.h>
#include <string>
#include "rules/SiteRules.h"

struct DownloadTask {
    int nId;                              // 1 for the first task queued, then 2, 3, ...
    BOOL bDone;                           // set once the file was received completely
    char szName[kMaxNameBytes + 1];       // display name
    char szLocalName[kMaxNameBytes + 1];  // name relative to the temporary and installation folders
    char szUrl[kMaxUrlBytes + 1];         // absolute URL of the file
    UINT32 dwSize;                        // the file's exact size in bytes
    char szMd5[33];                       // expected MD5 text, either letter case ("" never matches)
    BOOL bSha256;                         // the bytes must also match szSha256
    char szSha256[65];                    // expected SHA-256 text ("" never matches)
    BOOL bChunks;                         // the file has a chunk index, so a patch may fetch only what changed
    char szChunksUrl[kMaxUrlBytes + 1];   // the index's absolute URL
    char szChunksSha256[65];              // what the index's head must digest to
    UINT64 qwChunksHead;                  // the head's length in bytes; 0: not given
};

// Hex digests compare equal in either letter case; an empty text never matches.
bool SameHexDigest(const char* a, const char* b);

// Where the updater's own new executable goes: its name with the last
// extension replaced by ".EX_" (it cannot replace itself while it runs).
std::string SideFileName(const std::string& ownName);

// The name a listed file is installed under: its own, or the side file's when
// it names the running updater (as Windows compares names).
std::string InstalledName(const std::string& localName, const std::string& ownName);

// The running updater's file name, as its folder lists it: started through an
// 8.3 path it is still "updater.exe", never "UPDATE~1.EXE".
std::string OwnFileName();
// The last element of path in its long form (as it is when path does not exist).
std::string LongFileName(const char* path);

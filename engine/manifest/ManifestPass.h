// The manifest pass: fetches the site's manifest, checks it (signature, serial,
// DTD, size), reads its list and compares every listed file with the installed
// copy. It returns the files to fetch; the caller queues them.
#pragma once
#include <windows.h>
#include <cstdint>
#include <string>
#include <vector>

// A listed file that the updater may write, as the manifest gives it.
struct ListedFile {
    long number = 0;  // 1 for the first entry of the manifest
    std::string name;
    std::string url;
    std::string md5;
    std::string sha256;
    bool hasSha256 = false;
    UINT32 size = 0;
    std::string chunksUrl;  // the file's chunk index, when it has one
    std::string chunksSha256;
    std::uint64_t chunksHead = 0;  // its head's length; 0: not given
};

struct ManifestRequest {
    std::string url;
    std::string installDir;  // the installation folder
    std::string tempDir;     // the temporary folder
    std::string ownName;     // the running updater's file name
};

// What one pass found: the files to fetch, in manifest order, and whether the
// whole list was read (only then is anything to be queued).
struct ManifestList {
    std::vector<ListedFile> files;
    bool complete = false;
    bool hasSerial = false;  // a signed manifest's serial, to keep once the run finishes
    std::uint64_t serial = 0;
    bool serialFileDamaged = false;  // the serial file held no serial: write it anew after the run
};

// Runs one pass on a thread of its own. A response that has not fully arrived
// after timeoutMs ends the pass with nothing to fetch; the thread is then left
// to end on its own, touching no installed file.
ManifestList RunManifestPass(const ManifestRequest& request, DWORD timeoutMs);

// True while a pass that was given up on is still running: the process must
// then end without destroying the objects it may still use.
bool AbandonedManifestPassRunning();

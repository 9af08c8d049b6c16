// One listed file of a live site, fetched and judged as the updater would
// take it: its answer, its bytes and digests, and, when it has a chunk
// index, the index and one single range of each. Linux build only (libcurl).
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class HttpClient;

// One <file> element as the manifest gives it (UTF-8, entities decoded).
struct Entry {
    int index = 0;
    std::string filename, filesize, fileversion, md5, fileload;
    std::optional<std::string> sha256, chunks, chunksSha256, chunksHead;
    std::uint32_t size = 0;
};

// A problem is one line: what, where, what was expected, what was served.
struct FoundProblem {
    std::string file, url, expected, served;
};

struct FileCheckResult {
    std::vector<FoundProblem> problems;
    bool hadChunkIndex = false;
    int rangesAsked = 0, rangesAnswered = 0;
    std::string rangeIgnoredAt;  // the first URL whose range was answered with the whole file
};

// Hex digests compare equal in either letter case.
bool EqualHex(const std::string& a, const std::string& b);

// Fetches e's file (and its index) on http; onBytes hears of the file's body
// bytes as they arrive, on the calling thread.
FileCheckResult CheckListedFile(HttpClient& http, const Entry& e, const std::function<void(std::uint64_t)>& onBytes);

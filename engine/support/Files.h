// The file operations every room shares, each written once: joining a path,
// reading a small whole file, replacing a file atomically, a file's size, and
// making the folders a relative name needs.
#pragma once
#include <windows.h>
#include <atomic>
#include <cstddef>
#include <string>
#include <thread>

// folder + '\' + name, whatever separators folder ends with (none added to an
// empty folder).
std::string JoinPath(const std::string& folder, const std::string& name);

// The whole file, when it is a readable file of at most limit bytes. On
// failure error holds the system's error code (ERROR_FILE_TOO_LARGE past the
// limit, ERROR_HANDLE_EOF when it could not be read to its end).
bool ReadSmallFile(const std::string& path, std::size_t limit, std::string& bytes, DWORD& error);

// Writes bytes to path.new, flushes it and moves it over path, written
// through: a kill at any point leaves the old file or the new one, never a
// part of either. False (and path.new gone) when any step failed.
bool ReplaceFileAtomically(const std::string& path, const std::string& bytes);

// The size of a regular file; -1 when path is not one.
LONGLONG FileSizeOf(const std::string& path);

// Creates every folder named in relativeName (all but its last element) under
// base. False when a folder could not be made or a file stands in its place.
bool CreateFoldersFor(const std::string& base, const std::string& relativeName);

// Removes a folder tree that holds only folders (kept copies' empty buckets).
void RemoveEmptyTree(const std::string& folder);

// Flushes a big file being written on a thread of its own while the writing
// goes on, so that the flush that must come before the file is used finds
// little left to write, instead of the whole file at its end.
class CFlushAhead {
public:
    CFlushAhead() = default;
    CFlushAhead(const CFlushAhead&) = delete;
    CFlushAhead& operator=(const CFlushAhead&) = delete;
    ~CFlushAhead() { Wait(); }
    // Another written bytes: once every step, a flush of the file starts (unless
    // one still runs). The handle must stay open until Wait has returned.
    void Written(HANDLE file, UINT64 bytes);
    // Waits for the flush in progress, if any.
    void Wait();

private:
    static const UINT64 kStep = 16ull << 20;
    UINT64 m_since = 0;
    std::atomic<bool> m_running{ false };
    std::thread m_thread;
};

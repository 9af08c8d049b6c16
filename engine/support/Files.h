// The file operations every room shares, each written once: joining a path,
// reading a small whole file, replacing a file atomically, a file's size, and
// making the folders a relative name needs.
#pragma once
#include <windows.h>
#include <cstddef>
#include <string>

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

#include "support/Files.h"
#include "afxhandle.h"
#include <system_error>

std::string JoinPath(const std::string& folder, const std::string& name)
{
    if (folder.empty()) return name;
    const char last = folder.back();
    return (last == '\\' || last == '/') ? folder + name : folder + "\\" + name;
}

bool ReadSmallFile(const std::string& path, std::size_t limit, std::string& bytes, DWORD& error)
{
    bytes.clear();
    CScopedHandle h(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!h) {
        error = ::GetLastError();
        return false;
    }
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(h.get(), &size)) {
        error = ::GetLastError();
        return false;
    }
    if (static_cast<unsigned long long>(size.QuadPart) > limit) {
        error = ERROR_FILE_TOO_LARGE;
        return false;
    }
    bytes.resize(static_cast<std::size_t>(size.QuadPart));
    std::size_t got = 0;
    while (got < bytes.size()) {
        DWORD n = 0;
        if (!::ReadFile(h.get(), &bytes[got], static_cast<DWORD>(bytes.size() - got), &n, nullptr) || n == 0) break;
        got += n;
    }
    if (got != bytes.size()) {
        error = ERROR_HANDLE_EOF;
        bytes.clear();
        return false;
    }
    error = ERROR_SUCCESS;
    return true;
}

bool ReplaceFileAtomically(const std::string& path, const std::string& bytes)
{
    const std::string fresh = path + ".new";
    bool written = false;
    {
        CScopedHandle h(::CreateFileA(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                      nullptr));
        DWORD n = 0;
        written = h && ::WriteFile(h.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) &&
                  n == bytes.size() && ::FlushFileBuffers(h.get());
    }
    if (written && ::MoveFileExA(fresh.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    ::DeleteFileA(fresh.c_str());
    return false;
}

LONGLONG FileSizeOf(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return -1;
    return (static_cast<LONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool CreateFoldersFor(const std::string& base, const std::string& relativeName)
{
    std::string path = JoinPath(base, relativeName);
    if (path.size() >= MAX_PATH) return false;
    const std::size_t baseLength = path.size() - relativeName.size();
    // Every separator after the base ends a folder name (never a trail byte);
    // the last element is the file.
    bool ok = true;
    for (const char* p = path.c_str() + baseLength; *p; p = ::CharNextA(p)) {
        if (*p != '\\' && *p != '/') continue;
        const std::string folder = path.substr(0, static_cast<std::size_t>(p - path.c_str()));
        const DWORD attributes = ::GetFileAttributesA(folder.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            if (!::CreateDirectoryA(folder.c_str(), nullptr)) ok = false;
        } else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            ok = false;
        }
    }
    return ok;
}

void RemoveEmptyTree(const std::string& folder)
{
    WIN32_FIND_DATAA found;
    HANDLE h = ::FindFirstFileA((folder + "\\*").c_str(), &found);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = found.cFileName;
            if (name != "." && name != ".." && (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                RemoveEmptyTree(folder + "\\" + name);
        } while (::FindNextFileA(h, &found));
        ::FindClose(h);
    }
    ::RemoveDirectoryA(folder.c_str());
}

void CFlushAhead::Written(HANDLE file, UINT64 bytes)
{
    m_since += bytes;
    if (m_since < kStep || m_running.load()) return;
    m_since = 0;
    Wait();
    m_running = true;
    try {
        m_thread = std::thread([this, file] {
            ::FlushFileBuffers(file);  // a failure shows in the last flush, which is checked
            m_running = false;
        });
    } catch (const std::system_error&) {
        m_running = false;  // no thread: the last flush does it all
    }
}

void CFlushAhead::Wait()
{
    if (m_thread.joinable()) m_thread.join();
}

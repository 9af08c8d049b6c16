#include "TestUtil.h"
#include <cstdio>
#include <atomic>
#include <chrono>
#include <thread>
#include "Md5Digest.h"

namespace {
std::atomic<int> g_counter{0};
}

ScratchDir::ScratchDir(const char* tag)
{
    char temp[MAX_PATH];
    ::GetTempPathA(MAX_PATH, temp);
    char name[MAX_PATH];
    std::snprintf(name, sizeof(name), "%supd-%s-%lu-%d", temp, tag, ::GetCurrentProcessId(), ++g_counter);
    m_path = name;
    RemoveTree(m_path);
    ::CreateDirectoryA(m_path.c_str(), nullptr);
}

ScratchDir::~ScratchDir()
{
    RemoveTree(m_path);
}

void RemoveTree(const std::string& path)
{
    WIN32_FIND_DATAA fd;
    HANDLE h = ::FindFirstFileA((path + "\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::string name = fd.cFileName;
            if (name == "." || name == "..") continue;
            std::string child = path + "\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                ::SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileA(child.c_str());
            }
        } while (::FindNextFileA(h, &fd));
        ::FindClose(h);
    }
    ::RemoveDirectoryA(path.c_str());
}

bool WriteBytes(const std::string& path, const std::string& bytes)
{
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD put = 0;
    BOOL ok = bytes.empty() || ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
    ::CloseHandle(h);
    return ok && put == bytes.size();
}

bool ReadBytes(const std::string& path, std::string& bytes)
{
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size{};
    ::GetFileSizeEx(h, &size);
    bytes.assign(static_cast<size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    BOOL ok = bytes.empty() || ::ReadFile(h, &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr);
    ::CloseHandle(h);
    return ok && got == bytes.size();
}

bool FileExists(const std::string& path)
{
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string PatternBytes(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    unsigned x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>('A' + (x >> 16) % 26);
    }
    return s;
}

std::string Md5Of(const std::string& bytes)
{
    return CMd5Digest::HashBuffer(reinterpret_cast<const BYTE*>(bytes.data()), static_cast<UINT>(bytes.size())).str();
}

std::string ShortForm(const std::string& path)
{
    char shortPath[MAX_PATH] = {};
    const DWORD n = ::GetShortPathNameA(path.c_str(), shortPath, MAX_PATH);
    return n > 0 && n < MAX_PATH ? shortPath : path;
}

std::string ProgramDir()
{
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s = path;
    return s.substr(0, s.rfind('\\') + 1);
}

void RecordingNotify::OnUpdateNotify(UINT32 done, UINT32 total, int status, const char* text)
{
    Event e{ done, total, status, text ? text : "", text != nullptr };
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_events.push_back(e);
    }
    if (onEvent) onEvent(e);
}

std::vector<Event> RecordingNotify::Events() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_events;
}

std::vector<int> RecordingNotify::Statuses() const
{
    std::vector<int> s;
    for (const Event& e : Events()) s.push_back(e.status);
    return s;
}

bool RecordingNotify::WaitForEnd(DWORD timeoutMs) const
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        for (const Event& e : Events())
            if (e.status == US_FINISHED || e.status == US_FAILED || e.status == US_CANCELLED) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

const char kPlatformTitle[] = "Velmora游戏大厅";

void Pump(DWORD ms)
{
    const ULONGLONG end = ::GetTickCount64() + ms;
    for (;;) {
        MSG m;
        while (::PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&m);
            ::DispatchMessageA(&m);
        }
        if (::GetTickCount64() >= end) break;
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
}

bool PumpUntil(const std::function<bool()>& cond, DWORD timeoutMs)
{
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    while (::GetTickCount64() < end) {
        Pump();
        if (cond()) return true;
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
    return cond();
}

bool WaitUntil(const std::function<bool()>& cond, DWORD timeoutMs, DWORD stepMs)
{
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    while (::GetTickCount64() < end) {
        if (cond()) return true;
        ::Sleep(stepMs);
    }
    return cond();
}

void FromWorker(const std::function<void()>& f)
{
    std::atomic<bool> done{ false };
    std::thread t([&] { f(); done = true; });
    // Sent messages wake the wait; they are handled by the pump.
    while (!done) {
        Pump();
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
    }
    t.join();
    Pump();
}

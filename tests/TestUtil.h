// Scratch folders, file helpers and a recording report sink for the tests.
#pragma once
#include <windows.h>
#include <functional>
#include <mutex>
#include <string>
#include <vector>
#include "UpdateNotify.h"

// A fresh folder under the temporary folder, removed with everything in it.
class ScratchDir {
public:
    explicit ScratchDir(const char* tag = "t");
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& Path() const { return m_path; }           // no trailing backslash
    std::string operator/(const std::string& name) const { return m_path + "\\" + name; }
private:
    std::string m_path;
};

void RemoveTree(const std::string& path);
bool WriteBytes(const std::string& path, const std::string& bytes);
bool ReadBytes(const std::string& path, std::string& bytes);
bool FileExists(const std::string& path);
std::string PatternBytes(size_t n, unsigned seed = 1);   // deterministic, no HTML prefix
std::string Md5Of(const std::string& bytes);
// Folder of the running test program, with a trailing backslash.
std::string ProgramDir();
// The path's 8.3 form; the path itself when it has none.
std::string ShortForm(const std::string& path);

// Handles this thread's messages, then for ms more milliseconds.
void Pump(DWORD ms = 0);
// Pumps until the condition holds or the time is up; the condition's last value.
bool PumpUntil(const std::function<bool()>& cond, DWORD timeoutMs = 5000);
// Polls (without pumping) until the condition holds or the time is up; false when it never did.
bool WaitUntil(const std::function<bool()>& cond, DWORD timeoutMs = 5000, DWORD stepMs = 5);
// Runs f on another thread, as the download worker does, while this thread
// handles the messages it sends.
void FromWorker(const std::function<void()>& f);

// The platform's window title (system code page).
extern const char kPlatformTitle[];

struct Event {
    UINT32 done;
    UINT32 total;
    int status;
    std::string text;
    bool hasText;
};

// Records every report, from whichever thread it comes.
class RecordingNotify : public UpdateNotify {
public:
    void OnUpdateNotify(UINT32 done, UINT32 total, int status, const char* text) override;
    std::vector<Event> Events() const;
    std::vector<int> Statuses() const;
    // Waits until a report with one of the final statuses (FINISHED, FAILED, CANCELLED) arrived.
    bool WaitForEnd(DWORD timeoutMs) const;
    // Called after each report is recorded (on the reporting thread).
    std::function<void(const Event&)> onEvent;
private:
    mutable std::mutex m_lock;
    std::vector<Event> m_events;
};

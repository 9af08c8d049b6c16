// Driving the real updater.exe: scratch installations, the processes and
// windows it shows, its log, and the failed run as a user sees it.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include <functional>
#include <map>
#include <string>
#include <vector>
#include "TestUtil.h"

class TestServer;

extern const char kBuiltInErrorText[];

// A started program; terminated if the test leaves it running.
struct Process {
    PROCESS_INFORMATION pi{};
    Process() = default;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process();
    bool Start(const std::string& exe, const std::string& dir);
    bool Ended(DWORD ms) const { return ::WaitForSingleObject(pi.hProcess, ms) == WAIT_OBJECT_0; }
    DWORD ExitCode() const;
};

// A visible top-level window of the process with that class and title.
HWND WaitForWindow(const Process& p, const std::string& cls, const std::string& title, DWORD ms = 15000);

// An environment variable that the programs started in this scope inherit;
// its earlier value (or its absence) comes back at the end of the scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : m_name(name)
    {
        char old[MAX_PATH] = {};
        const DWORD n = ::GetEnvironmentVariableA(name, old, sizeof(old));
        m_had = n > 0 && n < sizeof(old);
        m_old = old;
        ::SetEnvironmentVariableA(name, value.c_str());
    }
    ~ScopedEnv() { ::SetEnvironmentVariableA(m_name, m_had ? m_old.c_str() : nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
private:
    const char* m_name;
    bool m_had = false;
    std::string m_old;
};

// Relative file name -> contents.
using FileMap = std::map<std::string, std::string>;

// The updater built with its test hooks (a kill during installation, a shorter stall limit).
extern const char kTestBuild[];

// A scratch installation: updater (the shipped one unless build names
// another), platform stand-in, settings file.
struct Installation {
    ScratchDir dir{ "inst" };
    std::string exeName = "updater.exe";
    explicit Installation(const std::string& name = "updater.exe", const std::string& build = "updater.exe");
    void Settings(const std::string& ini) const;
    std::string Read(const std::string& name) const;  // "<missing>" if it cannot be read
    int PlatformStarts() const;                       // lines in standin-started.txt
    void StartPlatform(Process& p) const;             // and waits for its window
    bool Run(Process& p) const { return p.Start(dir / exeName, dir.Path()); }
    std::string Log() const { return Read("Update\\update.log"); }
    // Every file of the installation outside the temporary folder.
    FileMap Files() const;
    // Every file under the temporary folder.
    FileMap TempFiles() const;
};

// Other spellings of an existing folder, each with what it is: its 8.3 form
// (when the file system gives one) and, under Wine, the same folder seen
// through the Z: drive (Wine keeps the spelling a program was started with).
std::vector<std::pair<std::string, std::string>> OtherSpellings(const std::string& folder);

std::string Listing(const std::string& entries);
std::string Entry(const std::string& name, size_t size, const std::string& md5, const std::string& url);
std::string SiteSetting(const TestServer& s);
void KillStandIns();

// The file holds exactly these bytes (a short message, not the bytes, otherwise).
::testing::AssertionResult Holds(const Installation& inst, const std::string& name, const std::string& bytes);
// Same names and contents; the message names what was added, removed or changed.
::testing::AssertionResult SameFiles(const FileMap& actual, const FileMap& expected);

// The log's lines without their CRLF; a bare LF also ends a line.
std::vector<std::string> LogLines(const std::string& log);
// Some line contains every one of the pieces.
bool HasLine(const std::string& log, const std::vector<std::string>& pieces);
std::string LastLogLine(const std::string& log);  // "<none>" for an empty or missing log
// The log's last line contains text.
::testing::AssertionResult LastLineHas(const std::string& log, const std::string& text);
// Non-empty, CRLF lines only, each starting with a timestamp of this year.
::testing::AssertionResult LogWellFormed(const std::string& log);
// The update's temporary folder holds no kept copy, no folder of kept copies and no journal.
::testing::AssertionResult NothingKeptAside(const Installation& inst);

// Waits for the failure box and presses OK on it. Returns the box's text;
// "<no box>" if none came within ms.
std::string DismissFailureBox(const Process& upd, DWORD ms = 15000);
// What a failed run must look like once the box is shown: the built-in text,
// exit code 0 after OK, no platform start, the installation as before, and a
// log that ends with the failed outcome.
void ExpectFailedRun(const Process& upd, const Installation& inst, const FileMap& before, int startsBefore = 0,
                     DWORD boxWithinMs = 15000);
// Runs the updater to the end of a successful run (exit code 0, "finished"),
// then ends the platform stand-in it started.
void RunToTheEnd(const Installation& inst, DWORD ms = 60000);

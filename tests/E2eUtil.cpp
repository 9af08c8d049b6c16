#include "E2eUtil.h"
#include <shlwapi.h>
#include <cstdio>
#include "testserver.h"

const char kBuiltInErrorText[] = "更新失败，请到www.example.com下载最新版本";
const char kTestBuild[] = "updater_test.exe";

Process::~Process()
{
    if (pi.hProcess) {
        if (!Ended(0)) ::TerminateProcess(pi.hProcess, 99);
        ::CloseHandle(pi.hProcess);
        ::CloseHandle(pi.hThread);
    }
}

bool Process::Start(const std::string& exe, const std::string& dir)
{
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    std::string cmd = "\"" + exe + "\"";
    // Wine now and then fails a start with its internal error (1359) on a
    // busy machine, before the program runs at all; that start is tried again.
    for (int attempt = 1;; ++attempt) {
        if (::CreateProcessA(exe.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, dir.c_str(), &si, &pi)) return true;
        const DWORD error = ::GetLastError();
        if (error != ERROR_INTERNAL_ERROR || attempt == 3) {
            ADD_FAILURE() << "cannot start " << exe << " (error " << error << ")";
            return false;
        }
        std::fprintf(stderr, "starting %s failed with error %lu; trying again\n", exe.c_str(), error);
        ::Sleep(500);
    }
}

DWORD Process::ExitCode() const
{
    DWORD c = 12345;
    ::GetExitCodeProcess(pi.hProcess, &c);
    return c;
}

namespace {

struct FindData { DWORD pid; std::string cls, title; HWND found; };

BOOL CALLBACK FindProc(HWND h, LPARAM lp)
{
    auto* d = reinterpret_cast<FindData*>(lp);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(h, &pid);
    if (pid != d->pid || !::IsWindowVisible(h)) return TRUE;
    char cls[64] = {}, title[256] = {};
    ::GetClassNameA(h, cls, sizeof(cls));
    ::GetWindowTextA(h, title, sizeof(title));
    if (!d->cls.empty() && d->cls != cls) return TRUE;
    if (d->title != title) return TRUE;
    d->found = h;
    return FALSE;
}

void Collect(const std::string& root, const std::string& rel, const std::string& skip, FileMap& out)
{
    WIN32_FIND_DATAA fd;
    const std::string base = rel.empty() ? root : root + "\\" + rel;
    HANDLE h = ::FindFirstFileA((base + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return;
    do {
        const std::string name = fd.cFileName;
        if (name == "." || name == "..") continue;
        const std::string child = rel.empty() ? name : rel + "\\" + name;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (rel.empty() && !skip.empty() && ::lstrcmpiA(name.c_str(), skip.c_str()) == 0) continue;
            Collect(root, child, skip, out);
        } else {
            std::string bytes;
            out[child] = ReadBytes(root + "\\" + child, bytes) ? bytes : std::string("<unreadable>");
        }
    } while (::FindNextFileA(h, &fd));
    ::FindClose(h);
}

bool EndsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

HWND WaitForWindow(const Process& p, const std::string& cls, const std::string& title, DWORD ms)
{
    for (DWORD waited = 0; waited < ms; waited += 20) {
        FindData d{ p.pi.dwProcessId, cls, title, nullptr };
        ::EnumWindows(FindProc, reinterpret_cast<LPARAM>(&d));
        if (d.found) return d.found;
        if (p.Ended(0)) return nullptr;
        ::Sleep(20);
    }
    return nullptr;
}

Installation::Installation(const std::string& name, const std::string& build) : exeName(name)
{
    ::CopyFileA((ProgramDir() + build).c_str(), (dir / exeName).c_str(), FALSE);
    ::CopyFileA((ProgramDir() + "Quorvanta.exe").c_str(), (dir / "Quorvanta.exe").c_str(), FALSE);
}

void Installation::Settings(const std::string& ini) const
{
    std::string stem = exeName.substr(0, exeName.rfind('.'));
    WriteBytes(dir / (stem + ".INI"), ini);
}

std::string Installation::Read(const std::string& name) const
{
    std::string b;
    return ReadBytes(dir / name, b) ? b : std::string("<missing>");
}

int Installation::PlatformStarts() const
{
    std::string log = Read("standin-started.txt");
    if (log == "<missing>") return 0;
    int n = 0;
    for (char c : log) n += c == '\n';
    return n;
}

void Installation::StartPlatform(Process& p) const
{
    ASSERT_TRUE(p.Start(dir / "Quorvanta.exe", dir.Path()));
    ASSERT_NE(WaitForWindow(p, "", kPlatformTitle), nullptr);
}

FileMap Installation::Files() const
{
    FileMap files;
    Collect(dir.Path(), "", "Update", files);
    return files;
}

FileMap Installation::TempFiles() const
{
    FileMap files;
    Collect(dir / "Update", "", "", files);
    return files;
}

std::vector<std::pair<std::string, std::string>> OtherSpellings(const std::string& folder)
{
    std::vector<std::pair<std::string, std::string>> spellings;
    const std::string shortForm = ShortForm(folder);
    if (shortForm != folder) spellings.push_back({ "its 8.3 form", shortForm });
    using ToUnix = char*(CDECL*)(const wchar_t*);
    const auto toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    wchar_t wide[MAX_PATH] = {};
    ::MultiByteToWideChar(CP_ACP, 0, folder.c_str(), -1, wide, MAX_PATH);
    if (char* unixPath = toUnix ? toUnix(wide) : nullptr) {
        std::string z = std::string("Z:") + unixPath;
        for (char& c : z) c = c == '/' ? '\\' : c;
        ::HeapFree(::GetProcessHeap(), 0, unixPath);
        spellings.push_back({ "Wine's Z: drive", z });
    }
    return spellings;
}

std::string Listing(const std::string& entries)
{
    return "<?xml version=\"1.0\"?><manifest><filelist>" + entries + "</filelist></manifest>";
}

std::string Entry(const std::string& name, size_t size, const std::string& md5, const std::string& url)
{
    return "<file filename=\"" + name + "\" filesize=\"" + std::to_string(size) + "\" fileversion=\"1\" md5=\"" + md5 +
           "\" fileload=\"" + url + "\"/>";
}

std::string SiteSetting(const TestServer& s) { return "[Download]\r\nsite=127.0.0.1:" + std::to_string(s.Port()) + "\r\n"; }

void KillStandIns()
{
    // Ends every running stand-in, found by its window.
    for (int i = 0; i < 10; ++i) {
        HWND h = ::FindWindowA(nullptr, kPlatformTitle);
        if (!h) return;
        DWORD pid = 0;
        ::GetWindowThreadProcessId(h, &pid);
        HANDLE hp = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
        if (hp) { ::TerminateProcess(hp, 0); ::WaitForSingleObject(hp, 5000); ::CloseHandle(hp); }
    }
}

::testing::AssertionResult Holds(const Installation& inst, const std::string& name, const std::string& bytes)
{
    std::string got;
    if (!ReadBytes(inst.dir / name, got)) return ::testing::AssertionFailure() << name << " is missing";
    if (got == bytes) return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < got.size() && at < bytes.size() && got[at] == bytes[at]) ++at;
    return ::testing::AssertionFailure() << name << " holds " << got.size() << " bytes, expected " << bytes.size()
                                         << ", first difference at byte " << at;
}

::testing::AssertionResult SameFiles(const FileMap& actual, const FileMap& expected)
{
    std::string diff;
    for (const auto& file : actual) {
        auto was = expected.find(file.first);
        if (was == expected.end()) diff += " added: " + file.first + ";";
        else if (was->second != file.second) diff += " changed: " + file.first + ";";
    }
    for (const auto& file : expected)
        if (!actual.count(file.first)) diff += " missing: " + file.first + ";";
    if (diff.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << diff;
}

std::vector<std::string> LogLines(const std::string& log)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos) end = log.size();
        std::string line = log.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

bool HasLine(const std::string& log, const std::vector<std::string>& pieces)
{
    for (const std::string& line : LogLines(log)) {
        bool all = true;
        for (const std::string& piece : pieces) all = all && line.find(piece) != std::string::npos;
        if (all) return true;
    }
    return false;
}

std::string LastLogLine(const std::string& log)
{
    const std::vector<std::string> lines = LogLines(log == "<missing>" ? std::string() : log);
    return lines.empty() ? std::string("<none>") : lines.back();
}

::testing::AssertionResult LastLineHas(const std::string& log, const std::string& text)
{
    const std::string last = LastLogLine(log);
    if (last.find(text) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "last log line: " << last;
}

::testing::AssertionResult LogWellFormed(const std::string& log)
{
    if (log.empty() || log == "<missing>") return ::testing::AssertionFailure() << "no log";
    if (!EndsWith(log, "\r\n")) return ::testing::AssertionFailure() << "the last line is not ended by CRLF";
    for (size_t i = log.find('\n'); i != std::string::npos; i = log.find('\n', i + 1))
        if (i == 0 || log[i - 1] != '\r') return ::testing::AssertionFailure() << "a bare LF at byte " << i;
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    const std::string year = std::to_string(now.wYear);
    for (const std::string& line : LogLines(log))
        if (line.compare(0, year.size(), year) != 0)
            return ::testing::AssertionFailure() << "a line without a timestamp: " << line;
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult NothingKeptAside(const Installation& inst)
{
    for (const auto& file : inst.TempFiles())
        if (::StrCmpNIA(file.first.c_str(), "kept.", 5) == 0 || ::lstrcmpiA(file.first.c_str(), "install.journal") == 0)
            return ::testing::AssertionFailure() << "left in the temporary folder: " << file.first;
    if (FileExists(inst.dir / "Update\\install.journal"))
        return ::testing::AssertionFailure() << "the journal was left";
    return ::testing::AssertionSuccess();
}

std::string DismissFailureBox(const Process& upd, DWORD ms)
{
    HWND box = WaitForWindow(upd, "#32770", "提示", ms);
    if (!box) return "<no box>";
    char text[512] = {};
    ::GetDlgItemTextA(box, 0xFFFF, text, sizeof(text));
    ::PostMessageA(::GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
    return text;
}

void RunToTheEnd(const Installation& inst, DWORD ms)
{
    Process upd;
    ASSERT_TRUE(inst.Run(upd));
    ASSERT_TRUE(upd.Ended(ms));
    EXPECT_EQ(upd.ExitCode(), 0u);
    EXPECT_TRUE(LastLineHas(inst.Log(), "outcome: finished"));
    KillStandIns();
}

void ExpectFailedRun(const Process& upd, const Installation& inst, const FileMap& before, int startsBefore,
                     DWORD boxWithinMs)
{
    EXPECT_EQ(DismissFailureBox(upd, boxWithinMs), kBuiltInErrorText);
    ASSERT_TRUE(upd.Ended(10000));
    EXPECT_EQ(upd.ExitCode(), 0u);
    EXPECT_EQ(inst.PlatformStarts(), startsBefore);
    EXPECT_TRUE(SameFiles(inst.Files(), before)) << "the installation changed";
    EXPECT_TRUE(LastLineHas(inst.Log(), "outcome: failed"));
}

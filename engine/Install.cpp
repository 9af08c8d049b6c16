// Install: moves the downloaded files over the installed ones, all or nothing.
#include "DownloadManager.h"
#include "Install.h"
#include <shlwapi.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include "PathRules.h"
#include "Platform.h"
#include "RunLog.h"
#include "afxhandle.h"

const char kInstallJournalName[] = "install.journal";
const char kKeptCopySuffix[] = ".bak";

namespace {
// Journal lines, each written (and flushed) before the step it announces:
//   D <folder>                  a folder is about to be created in the installation
//   K <destination>\t<local>    the installed copy goes aside, the new file takes its place
//   A <destination>\t<local>    a new file is added where there was none
//   C                           every file is in place; the kept copies may go
struct Step {
    char kind;
    std::string dest;
    std::string local;
};

bool Exists(const std::string& path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

class Journal {
public:
    Journal(const char* tempDir, const char* appDir)
        : m_temp(tempDir), m_app(appDir), m_path(m_temp + "\\" + kInstallJournalName) {}
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;
    ~Journal() { Close(); }

    const std::string& Path() const { return m_path; }
    std::string Kept(const std::string& dest) const { return m_temp + "\\" + dest + kKeptCopySuffix; }
    std::string Installed(const std::string& dest) const { return m_app + "\\" + dest; }
    std::string Download(const std::string& local) const { return m_temp + "\\" + local + ".dtm"; }

    // The step is on disk before it is taken: a run killed at any point leaves
    // a journal that covers everything it changed. The journal is made with
    // its first step, so an installation that changes nothing leaves none.
    bool Append(const Step& step)
    {
        m_steps.push_back(step);
        if (!m_created) {
            m_file.reset(::CreateFileA(m_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr));
            m_created = static_cast<bool>(m_file);
            if (!m_created) return false;
        }
        std::string line(1, step.kind);
        if (!step.dest.empty()) line += " " + step.dest;
        if (!step.local.empty()) line += "\t" + step.local;
        line += "\r\n";
        DWORD written = 0;
        return m_file && ::WriteFile(m_file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
               written == line.size() && ::FlushFileBuffers(m_file.get());
    }
    // Whether this run made the journal (so has something to commit or undo).
    bool Created() const { return m_created; }
    void Close() { m_file.reset(); }
    bool Load()
    {
        std::string text;
        CScopedHandle h(::CreateFileA(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!h) return false;
        char buffer[4096];
        DWORD got = 0;
        while (::ReadFile(h.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) text.append(buffer, got);
        m_steps.clear();
        size_t pos = 0;
        while (pos < text.size()) {
            size_t end = text.find("\r\n", pos);
            if (end == std::string::npos) break;  // a line cut short by a kill: its step was never taken
            const std::string line = text.substr(pos, end - pos);
            pos = end + 2;
            if (line.empty()) continue;
            Step step{ line[0], std::string(), std::string() };
            if (line.size() > 2) {
                const std::string rest = line.substr(2);
                const size_t tab = rest.find('\t');
                step.dest = rest.substr(0, tab);
                if (tab != std::string::npos) step.local = rest.substr(tab + 1);
            }
            m_steps.push_back(step);
        }
        return true;
    }
    bool Committed() const { return !m_steps.empty() && m_steps.back().kind == 'C'; }

    // Deletes the kept copies and then the journal: the new installation stands.
    void Finish()
    {
        for (const Step& s : m_steps)
            if (s.kind == 'K') ::DeleteFileA(Kept(s.dest).c_str());
        Close();
        ::DeleteFileA(m_path.c_str());
    }

    // Undoes every step, last first. New files go back to their .dtm, so a later
    // run need not download them again. True when everything was put back (the
    // journal is then deleted).
    bool RollBack()
    {
        bool complete = true;
        for (auto it = m_steps.rbegin(); it != m_steps.rend(); ++it) {
            const std::string installed = Installed(it->dest);
            if (it->kind == 'K') {
                const std::string kept = Kept(it->dest);
                if (!Exists(kept)) continue;  // it never went aside: the installed copy is untouched
                if (Exists(installed) &&
                    !::MoveFileExA(installed.c_str(), Download(it->local).c_str(), MOVEFILE_REPLACE_EXISTING))
                    ::DeleteFileA(installed.c_str());
                if (!::MoveFileExA(kept.c_str(), installed.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
                    RunLog::Write("rollback: cannot put back %s (error %lu)", it->dest.c_str(), ::GetLastError());
                    complete = false;
                }
            } else if (it->kind == 'A') {
                if (!Exists(installed)) continue;
                if (!::MoveFileExA(installed.c_str(), Download(it->local).c_str(),
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) &&
                    !::DeleteFileA(installed.c_str())) {
                    RunLog::Write("rollback: cannot remove added %s (error %lu)", it->dest.c_str(), ::GetLastError());
                    complete = false;
                }
            } else if (it->kind == 'D') {
                ::RemoveDirectoryA(installed.c_str());  // only if it is empty again, as it was made
            }
        }
        Close();
        if (complete) ::DeleteFileA(m_path.c_str());
        return complete;
    }

private:
    std::string m_temp, m_app, m_path;
    CScopedHandle m_file;
    bool m_created = false;
    std::vector<Step> m_steps;
};

// Tests end the process at a chosen point of the installation, as a power cut would.
int CrashAfterMoves()
{
    char value[16] = {};
    const DWORD n = ::GetEnvironmentVariableA("UPDATER_TEST_CRASH_AFTER_MOVES", value, sizeof(value));
    return (n > 0 && n < sizeof(value)) ? std::atoi(value) : 0;
}
} // namespace

bool RecoverInterruptedInstall(const char* tempDir, const char* appDir)
{
    Journal journal(tempDir, appDir);
    if (!Exists(journal.Path())) return true;
    if (!journal.Load()) {
        RunLog::Write("recovery: the journal of an interrupted installation cannot be read");
        return false;
    }
    if (journal.Committed()) {
        journal.Finish();
        RunLog::Write("recovery: an installation that had completed was tidied up");
        return true;
    }
    // Files are about to be put back under it: the platform must not run on them.
    if (!StopRunningPlatform()) return false;
    const bool complete = journal.RollBack();
    RunLog::Write(complete ? "recovery: an interrupted installation was rolled back"
                           : "recovery: an interrupted installation could not be rolled back completely");
    return complete;
}

int CDownloadManager::Install()
{
    Notify(0, 0, US_INSTALLING, "开始安装更新，请稍候...");
    const int count = static_cast<int>(m_tasks.size());
    RunLog::Write("install: %d file(s)", count);

    char self[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, self, MAX_PATH);
    const char* ownName = ::PathFindFileNameA(self);
    const int crashAfter = CrashAfterMoves();

    Journal journal(m_strTempDir, m_strAppDir);
    std::string failure;
    const char* failedName = "";
    if (Exists(journal.Path())) failure = "an earlier installation was never undone";

    int moves = 0;
    for (int i = 0; failure.empty() && i < count; ++i) {
        DownloadTask* task = m_tasks[static_cast<size_t>(i)].get();
        failedName = task->szName;
        char source[MAX_PATH], target[MAX_PATH], dest[MAX_PATH];
        const std::string local = task->szLocalName;
        bool fits = FormatPath(source, sizeof(source), "%s\\%s.dtm", m_strTempDir.GetString(), task->szLocalName);
        if (EqualIgnoringAsciiCase(ownName, task->szLocalName)) {
            // The running executable cannot be replaced: its new version goes
            // beside it as <stem>.EX_ for another program to swap in.
            if (char* dot = std::strrchr(task->szLocalName, '.')) *dot = '\0';
            fits = fits && FormatPath(dest, sizeof(dest), "%s.EX_", task->szLocalName);
        } else {
            fits = fits && FormatPath(dest, sizeof(dest), "%s", task->szLocalName);
        }
        fits = fits && FormatPath(target, sizeof(target), "%s\\%s", m_strAppDir.GetString(), dest) &&
               journal.Kept(dest).size() < MAX_PATH;
        if (!fits) {
            failure = "the path does not fit";
            break;
        }
        bool journaled = true;
        const bool made = CreateFoldersFor(m_strAppDir, dest, [&](const char* folder) {
            journaled = journal.Append({ 'D', folder, std::string() }) && journaled;
        });
        if (!made || !journaled) {
            failure = "its folder cannot be created";
            break;
        }
        const DWORD attributes = ::GetFileAttributesA(target);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            failure = "a folder stands where the file goes";
            break;
        }
        const bool replacing = attributes != INVALID_FILE_ATTRIBUTES;
        if (!journal.Append({ replacing ? 'K' : 'A', dest, local })) {
            failure = "the journal cannot be written (error " + std::to_string(::GetLastError()) + ")";
            break;
        }
        if (replacing && !::MoveFileExA(target, journal.Kept(dest).c_str(), MOVEFILE_REPLACE_EXISTING)) {
            failure = "the installed copy cannot be moved aside (error " + std::to_string(::GetLastError()) + ")";
            break;
        }
        if (!::MoveFileExA(source, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
            failure = "the new file cannot be moved into place (error " + std::to_string(::GetLastError()) + ")";
            break;
        }
        RunLog::Write("install: %s -> %s", source, target);
        if (++moves == crashAfter) ::TerminateProcess(::GetCurrentProcess(), 3);
    }

    // Nothing journaled (nothing to install) has nothing to commit.
    if (failure.empty() && (!journal.Created() || journal.Append({ 'C', std::string(), std::string() }))) {
        journal.Finish();
        RunLog::Write("install: %d file(s) in place", moves);
        Notify(0, 0, US_FINISHED, nullptr);
        return 0;
    }
    if (failure.empty()) failure = "the journal cannot be written";
    RunLog::Write("install failed: %s: %s", failedName, failure.c_str());
    if (journal.Created()) {
        const bool restored = journal.RollBack();
        RunLog::Write(restored ? "install: rolled back; the installation is as it was"
                               : "install: rolled back only in part; the next run tries again");
    }
    char text[512];
    std::snprintf(text, sizeof(text), "安装 %s 文件失败", failedName);
    SetState(US_FAILED);
    Notify(0, 0, US_FAILED, text);
    return 1;
}

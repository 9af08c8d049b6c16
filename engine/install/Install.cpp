// Install: moves the downloaded files over the installed ones, all or nothing.
#include "manifest/DigestCache.h"
#include "DownloadManager.h"
#include "install/Install.h"
#include <shlwapi.h>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>
#include "rules/PathRules.h"
#include "install/Platform.h"
#include "support/RunLog.h"
#include "support/TestHooks.h"
#include "support/WindowsNames.h"
#include "afxhandle.h"

const char kInstallJournalName[] = "install.journal";

std::string SideFileName(const std::string& ownName)
{
    const size_t dot = ownName.rfind('.');
    return (dot == std::string::npos ? ownName : ownName.substr(0, dot)) + ".EX_";
}

namespace {
const char kKeptFolderPrefix[] = "kept.";
const DWORD kMoveFlags = MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH;

// The journal is the whole plan, written and flushed once before the first
// move (a flush per file made large installations crawl):
//   R <run>                     kept copies of this run are in <temp>\kept.<run>\<bucket>
//   D <folder>                  a folder is created in the installation
//   K <destination>\t<local>    the installed copy goes aside, the new file takes its place
//   A <destination>\t<local>    a new file is added where there was none
//   C                           appended once every file is in place; the kept copies may go
// A kept copy is ours because its folder is named after our run: a copy left
// by another run is never restored, and nothing is ever moved onto one.
struct Step {
    char kind;
    std::string dest;
    std::string local;
    int done = 0;  // this run: 1 moved aside (K), 2 complete
    int kept = 0;  // K: which kept copy of the run this is (0, 1, ...)
};

// Kept copies go into buckets of this many, so that moving one aside never
// means searching a folder of thousands (Wine looks a new name up in the
// whole folder).
const int kKeptPerBucket = 256;

// Numbers the K steps in journal order: the plan and its recovery agree.
void NumberKeptCopies(std::vector<Step>& steps)
{
    int n = 0;
    for (Step& s : steps)
        if (s.kind == 'K') s.kept = n++;
}

bool Exists(const std::string& path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string ErrorText(const char* what)
{
    return std::string(what) + " (error " + std::to_string(::GetLastError()) + ")";
}

// Removes a folder tree that holds only folders (what is left of kept copies).
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

class Journal {
public:
    Journal(const char* tempDir, const char* appDir)
        : m_temp(tempDir), m_app(appDir), m_path(m_temp + "\\" + kInstallJournalName)
    {
        while (!m_app.empty() && m_app.back() == '\\') m_app.pop_back();
    }
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    const std::string& Path() const { return m_path; }
    std::vector<Step>& Steps() { return m_steps; }
    std::string KeptFolder() const { return m_temp + "\\" + kKeptFolderPrefix + m_run; }
    std::string KeptName(const Step& s) const { return std::to_string(s.kept / kKeptPerBucket) + "\\" + s.dest; }
    std::string Kept(const Step& s) const { return KeptFolder() + "\\" + KeptName(s); }
    std::string Installed(const std::string& dest) const { return m_app + "\\" + dest; }
    std::string Download(const std::string& local) const { return m_temp + "\\" + local + ".dtm"; }

    // A run name whose kept-copy folder does not exist yet.
    bool NewRun()
    {
        for (int attempt = 0; attempt < 16; ++attempt) {
            char run[40];
            std::snprintf(run, sizeof(run), "%lx-%llx-%x", ::GetCurrentProcessId(),
                          static_cast<unsigned long long>(::GetTickCount64()), attempt);
            m_run = run;
            if (!Exists(KeptFolder())) return true;
        }
        return false;
    }

    // The plan, on disk before the first move: a run killed at any point
    // leaves a journal that covers everything it could have changed.
    bool WritePlan()
    {
        std::string text = "R " + m_run + "\r\n";
        for (const Step& s : m_steps) {
            text += s.kind;
            text += " " + s.dest;
            if (!s.local.empty()) text += "\t" + s.local;
            text += "\r\n";
        }
        m_file.reset(::CreateFileA(m_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        return m_file && ::WriteFile(m_file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
               written == text.size() && ::FlushFileBuffers(m_file.get());
    }
    bool WriteCommit()
    {
        DWORD written = 0;
        return m_file && ::WriteFile(m_file.get(), "C\r\n", 3, &written, nullptr) && written == 3 &&
               ::FlushFileBuffers(m_file.get());
    }
    void Close() { m_file.reset(); }

    // Reads a journal a killed run left; why says what makes it one not to act on.
    bool Load(std::string& why)
    {
        std::string text;
        {
            CScopedHandle h(::CreateFileA(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
            if (!h) {
                why = ErrorText("it cannot be opened");
                return false;
            }
            char buffer[4096];
            DWORD got = 0;
            while (::ReadFile(h.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) text.append(buffer, got);
        }
        m_steps.clear();
        m_committed = false;
        size_t pos = 0;
        bool first = true;
        while (pos < text.size()) {
            const size_t end = text.find("\r\n", pos);
            if (end == std::string::npos) break;  // cut short by a kill: the commit never happened
            const std::string line = text.substr(pos, end - pos);
            pos = end + 2;
            if (line.size() < 1 || (line.size() > 1 && line[1] != ' ')) {
                why = "a line is not a step";
                return false;
            }
            const char kind = line[0];
            const std::string rest = line.size() > 2 ? line.substr(2) : std::string();
            if (first) {
                if (kind != 'R' || !ValidRun(rest)) {
                    why = "it does not name its run";
                    return false;
                }
                m_run = rest;
                first = false;
                continue;
            }
            if (m_committed) {
                why = "steps follow its commit";
                return false;
            }
            if (kind == 'C' && rest.empty()) {
                m_committed = true;
                continue;
            }
            const size_t tab = rest.find('\t');
            Step step{ kind, rest.substr(0, tab), tab == std::string::npos ? std::string() : rest.substr(tab + 1) };
            if (!(kind == 'D' && tab == std::string::npos) && !((kind == 'K' || kind == 'A') && tab != std::string::npos)) {
                why = "a line is not a step";
                return false;
            }
            m_steps.push_back(step);
        }
        if (first) {
            why = "it does not name its run";
            return false;
        }
        NumberKeptCopies(m_steps);
        return true;
    }
    bool Committed() const { return m_committed; }

    // Every path the journal names must be one this updater could have
    // written: inside the installation, outside the temporary folder, and the
    // downloads inside the temporary folder.
    const char* OutsideItsFolders(const TempFolderPlace& temp) const
    {
        for (const Step& s : m_steps) {
            if (UnsafeInstallName(s.dest.c_str(), temp)) return s.dest.c_str();
            if (s.kind != 'D' && !IsSafeRelativeName(s.local.c_str(), &IsAnsiLeadByte)) return s.local.c_str();
            if (m_temp.size() + s.local.size() + 8 >= MAX_PATH || m_app.size() + s.dest.size() + 2 >= MAX_PATH ||
                KeptFolder().size() + s.dest.size() + 16 >= MAX_PATH)
                return s.dest.c_str();
        }
        return nullptr;
    }

    // Deletes the kept copies and then the journal: the new installation
    // stands. The journal stays while a kept copy could not be deleted, so the
    // next run finishes the job.
    bool Finish()
    {
        bool all = true;
        for (const Step& s : m_steps) {
            if (s.kind != 'K') continue;
            const std::string kept = Kept(s);
            // A read-only copy is deleted like any other.
            ::SetFileAttributesA(kept.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (!::DeleteFileA(kept.c_str()) && Exists(kept)) {
                RunLog::Write("install: the kept copy %s cannot be deleted (error %lu)", kept.c_str(), ::GetLastError());
                all = false;
            }
        }
        if (!all) return false;
        RemoveEmptyTree(KeptFolder());
        Close();
        ::DeleteFileA(m_path.c_str());
        return true;
    }

    // Undoes the steps, last first: those this run took (known), or, after a
    // kill, those whose traces are there. New files go back to their .dtm, so
    // a later run need not download them again. True when everything was put
    // back (the journal is then deleted).
    bool RollBack(bool known)
    {
        bool complete = true;
        for (auto it = m_steps.rbegin(); it != m_steps.rend(); ++it) {
            const std::string installed = Installed(it->dest);
            if (it->kind == 'K') {
                const std::string kept = Kept(*it);
                if (known ? it->done == 0 : !Exists(kept)) continue;  // never went aside: untouched
                if ((known ? it->done == 2 : Exists(installed)) &&
                    !::MoveFileExA(installed.c_str(), Download(it->local).c_str(), MOVEFILE_REPLACE_EXISTING | kMoveFlags))
                    ::DeleteFileA(installed.c_str());
                if (!::MoveFileExA(kept.c_str(), installed.c_str(), kMoveFlags)) {
                    RunLog::Write("rollback: cannot put back %s (error %lu)", it->dest.c_str(), ::GetLastError());
                    complete = false;
                }
            } else if (it->kind == 'A') {
                if (known ? it->done != 2 : !Exists(installed)) continue;
                if (!::MoveFileExA(installed.c_str(), Download(it->local).c_str(), MOVEFILE_REPLACE_EXISTING | kMoveFlags) &&
                    !::DeleteFileA(installed.c_str())) {
                    RunLog::Write("rollback: cannot remove added %s (error %lu)", it->dest.c_str(), ::GetLastError());
                    complete = false;
                }
            } else if (it->kind == 'D') {
                if (known && it->done != 2) continue;
                ::RemoveDirectoryA(installed.c_str());  // only if it is empty again, as it was made
            }
        }
        Close();
        if (complete) {
            RemoveEmptyTree(KeptFolder());
            ::DeleteFileA(m_path.c_str());
        }
        return complete;
    }

private:
    static bool ValidRun(const std::string& run)
    {
        if (run.empty() || run.size() > 40) return false;
        for (char c : run)
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == '-')) return false;
        return true;
    }

    std::string m_temp, m_app, m_path, m_run;
    CScopedHandle m_file;
    bool m_committed = false;
    std::vector<Step> m_steps;
};
} // namespace

bool RecoverInterruptedInstall(const char* tempDir, const char* appDir, bool* platformStopped)
{
    if (platformStopped) *platformStopped = false;
    Journal journal(tempDir, appDir);
    if (!Exists(journal.Path())) return true;
    std::string why;
    const char* outside = nullptr;
    const bool loaded = journal.Load(why);
    if (loaded) outside = journal.OutsideItsFolders(PlaceTempFolder(appDir, tempDir));
    if (!loaded || outside) {
        // Not one of ours, or not one to trust: it is never acted on.
        const std::string aside = journal.Path() + ".rejected";
        ::MoveFileExA(journal.Path().c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        RunLog::Write("recovery: the journal was set aside as %s and not acted on: %s%s%s", aside.c_str(),
                      loaded ? "it names " : why.c_str(), loaded ? outside : "",
                      loaded ? ", which is outside the installation or inside the temporary folder" : "");
        return true;
    }
    if (journal.Committed()) {
        const bool finished = journal.Finish();
        RunLog::Write(finished ? "recovery: an installation that had completed was tidied up"
                               : "recovery: an installation that had completed keeps a copy that cannot be deleted yet");
        return true;
    }
    // Files are about to be put back under it: the platform must not run on them.
    if (!StopRunningPlatform(platformStopped)) return false;
    const bool complete = journal.RollBack(false);
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
    const std::string ownName = ::PathFindFileNameA(self);
    Journal journal(m_strTempDir, m_strAppDir);
    std::string failure;
    const char* failedName = "";
    if (Exists(journal.Path())) failure = "an earlier installation was never undone";

    // The plan: which folders are made, which copies go aside, which files are new.
    std::vector<Step>& steps = journal.Steps();
    std::vector<std::string> sources;  // the .dtm of each file step
    std::set<std::string> folders;     // known to exist, or made by the plan
    std::vector<CDigestCache::Installed> digests;  // what the next start need not read again
    bool keeps = false;
    for (int i = 0; failure.empty() && i < count; ++i) {
        const DownloadTask* task = m_tasks[static_cast<size_t>(i)].get();
        failedName = task->szName;
        const std::string local = task->szLocalName;
        const std::string dest = SameWindowsName(ownName.c_str(), task->szLocalName) ? SideFileName(local) : local;
        const std::string target = journal.Installed(dest), source = journal.Download(local);
        if (target.size() >= MAX_PATH || source.size() >= MAX_PATH || journal.KeptFolder().size() + dest.size() + 56 >= MAX_PATH) {
            failure = "the path does not fit";
            break;
        }
        // Every separator (never a trail byte) ends a folder that must be there.
        for (const char* p = dest.c_str(); failure.empty() && *p; p = ::CharNextA(p)) {
            if (*p != '\\' && *p != '/') continue;
            const size_t sep = static_cast<size_t>(p - dest.c_str());
            const std::string folder = dest.substr(0, sep);
            if (folders.count(folder)) continue;
            const DWORD attributes = ::GetFileAttributesA(journal.Installed(folder).c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES) {
                steps.push_back({ 'D', folder, std::string() });
                sources.emplace_back();
            } else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                failure = "its folder cannot be created: a file stands where the folder goes";
                continue;
            }
            folders.insert(folder);
        }
        if (!failure.empty()) break;
        const DWORD attributes = ::GetFileAttributesA(target.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            failure = "a folder stands where the file goes";
            break;
        }
        const bool replacing = attributes != INVALID_FILE_ATTRIBUTES;
        keeps = keeps || replacing;
        steps.push_back({ replacing ? 'K' : 'A', dest, local });
        sources.push_back(source);
        if (dest == local && task->bVerify && std::strlen(task->szMd5) == 32) {
            std::string md5 = task->szMd5;
            for (char& c : md5) c = FoldAsciiCase(c);
            digests.push_back({ task->szName, target, md5 });
        }
    }
    NumberKeptCopies(steps);
    if (failure.empty() && !steps.empty()) {
        if (!journal.NewRun() || (keeps && !::CreateDirectoryA(journal.KeptFolder().c_str(), nullptr)))
            failure = ErrorText("no folder for the kept copies can be made");
        else if (!journal.WritePlan())
            failure = ErrorText("the journal cannot be written");
        if (!failure.empty()) {
            failedName = "";
            ::RemoveDirectoryA(journal.KeptFolder().c_str());
            journal.Close();
            ::DeleteFileA(journal.Path().c_str());
            steps.clear();
        }
    }

    // The moves, in the plan's order.
    const int crashAfter = TestHooks::CrashAfterMoves();
    int moves = 0;
    for (size_t i = 0; failure.empty() && i < steps.size(); ++i) {
        Step& step = steps[i];
        const std::string target = journal.Installed(step.dest);
        failedName = step.dest.c_str();
        if (step.kind == 'D') {
            if (!::CreateDirectoryA(target.c_str(), nullptr)) failure = ErrorText("its folder cannot be created");
            else step.done = 2;
            continue;
        }
        if (step.kind == 'K') {
            const std::string kept = journal.Kept(step);
            if (!CreateFoldersFor(journal.KeptFolder().c_str(), journal.KeptName(step).c_str()) ||
                !::MoveFileExA(target.c_str(), kept.c_str(), MOVEFILE_WRITE_THROUGH)) {
                failure = ErrorText("the installed copy cannot be moved aside");
                break;
            }
            step.done = 1;
        }
        if (!::MoveFileExA(sources[i].c_str(), target.c_str(), kMoveFlags)) {
            failure = ErrorText("the new file cannot be moved into place");
            break;
        }
        step.done = 2;
        RunLog::Write("install: %s -> %s", sources[i].c_str(), target.c_str());
        if (++moves == crashAfter) ::TerminateProcess(::GetCurrentProcess(), 3);
    }

    // Every move was written through; only now may the kept copies go.
    if (failure.empty() && (steps.empty() || journal.WriteCommit())) {
        if (!steps.empty() && !journal.Finish())
            RunLog::Write("install: the journal stays until the next run can delete every kept copy");
        RunLog::Write("install: %d file(s) in place", moves);
        // Their digests are known: the next start need not read them.
        if (!digests.empty()) CDigestCache::RecordInstalled(m_strTempDir.str(), digests);
        return 0;
    }
    if (failure.empty()) failure = ErrorText("the journal cannot be written");
    RunLog::Write("install failed: %s: %s", failedName, failure.c_str());
    if (!steps.empty()) {
        const bool restored = journal.RollBack(true);
        RunLog::Write(restored ? "install: rolled back; the installation is as it was"
                               : "install: rolled back only in part; the next run tries again");
    }
    char text[512];
    std::snprintf(text, sizeof(text), "安装 %s 文件失败", failedName);
    ReportFailure(text);
    return 1;
}

// Install: moves the downloaded files over the installed ones.
#include "DownloadManager.h"
#include <shlwapi.h>
#include <cstring>
#include "PathRules.h"
#include "Platform.h"

namespace {
bool EqualIgnoringAsciiCase(const char* a, const char* b)
{
    for (;; ++a, ++b) {
        char ca = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
        char cb = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (ca != cb) return false;
        if (!ca) return true;
    }
}
} // namespace

int CDownloadManager::Install()
{
    Notify(0, 0, US_INSTALLING, "开始安装更新，请稍候...");

    char self[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, self, MAX_PATH);
    const char* ownName = ::PathFindFileNameA(self);

    const int count = static_cast<int>(m_tasks.size());
    for (int i = 0; i < count; ++i) {
        DownloadTask* task = m_tasks[static_cast<size_t>(i)];
        char source[MAX_PATH], target[MAX_PATH];
        if (!FormatPath(source, sizeof(source), "%s\\%s.dtm", m_strTempDir.GetString(), task->szLocalName))
            continue;
        bool fits;
        if (EqualIgnoringAsciiCase(ownName, task->szLocalName)) {
            // The running executable cannot be replaced: its new version goes
            // beside it as <stem>.EX_ for another program to swap in.
            if (char* dot = std::strrchr(task->szLocalName, '.')) *dot = '\0';
            fits = FormatPath(target, sizeof(target), "%s\\%s.EX_", m_strAppDir.GetString(), task->szLocalName);
        } else {
            fits = FormatPath(target, sizeof(target), "%s\\%s", m_strAppDir.GetString(), task->szLocalName);
            if (fits) CreateFoldersFor(m_strAppDir, task->szLocalName);
        }
        // A move that fails leaves the installed file and its .dtm as they are.
        if (fits) ::MoveFileExA(source, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
    }

    Notify(0, 0, US_FINISHED, nullptr);
    return 0;
}

#include "install/InstallLock.h"
#include <shlwapi.h>
#include <algorithm>
#include <cwchar>
#include "support/WindowsNames.h"

namespace {
// What CreateMutexW's result says: the lock is ours, another's (a name we may
// not open is another updater's, elevated or in another session), the
// namespace does not exist here (the next one is tried), or it failed.
enum class Answer { Held, Taken, NoNamespace, Failed };

Answer Judge(bool created, DWORD error)
{
    if (created) return error == ERROR_ALREADY_EXISTS ? Answer::Taken : Answer::Held;
    switch (error) {
    case ERROR_ACCESS_DENIED: return Answer::Taken;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_NAME: return Answer::NoNamespace;
    default: return Answer::Failed;
    }
}
} // namespace

std::wstring CInstallationLock::NameFor(const std::wstring& folder, const wchar_t* space)
{
    std::wstring key;
    FileIdentity id;
    if (IdentityOf(folder.c_str(), id)) {
        wchar_t text[32];
        std::swprintf(text, 32, L"%08lX-%016llX", static_cast<unsigned long>(id.volume),
                      static_cast<unsigned long long>(id.file));
        key = text;
    } else {
        key = FoldWindowsName(folder);
        std::replace(key.begin(), key.end(), L'\\', L'/');  // '\' would name a namespace
    }
    return std::wstring(space) + L"VelmoraUpdater:" + key;
}

CInstallationLock::State CInstallationLock::Take(const char* exePath)
{
    wchar_t path[MAX_PATH] = {};
    ::MultiByteToWideChar(CP_ACP, 0, exePath, -1, path, MAX_PATH);
    wchar_t full[MAX_PATH] = {};
    if (!::GetFullPathNameW(path, MAX_PATH, full, nullptr)) lstrcpynW(full, path, MAX_PATH);
    ::PathRemoveFileSpecW(full);
    // Across sessions; within ours only where the system has no global namespace.
    for (const wchar_t* space : { L"Global\\", L"Local\\" }) {
        ::SetLastError(ERROR_SUCCESS);
        m_mutex.reset(::CreateMutexW(nullptr, FALSE, NameFor(full, space).c_str()));
        m_error = ::GetLastError();
        switch (Judge(static_cast<bool>(m_mutex), m_error)) {
        case Answer::Held: return State::Held;
        case Answer::Taken: m_mutex.reset(); return State::TakenByAnother;
        case Answer::NoNamespace: continue;
        case Answer::Failed: return State::Unavailable;
        }
    }
    return State::Unavailable;
}

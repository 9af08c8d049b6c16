#include "install/InstallLock.h"
#include <shlwapi.h>
#include <algorithm>
#include "support/WindowsNames.h"

std::wstring CInstallationLock::NameFor(const std::wstring& folder, const wchar_t* space)
{
    std::wstring key = FoldWindowsName(folder);
    std::replace(key.begin(), key.end(), L'\\', L'/');  // '\' would name a namespace
    return std::wstring(space) + L"VelmoraUpdater:" + key;
}

CInstallationLock::State CInstallationLock::Take(const char* exePath)
{
    wchar_t path[MAX_PATH] = {};
    ::MultiByteToWideChar(CP_ACP, 0, exePath, -1, path, MAX_PATH);
    wchar_t full[MAX_PATH] = {};
    if (!::GetFullPathNameW(path, MAX_PATH, full, nullptr)) lstrcpynW(full, path, MAX_PATH);
    ::PathRemoveFileSpecW(full);
    // Across sessions where the system lets us, else within ours.
    for (const wchar_t* space : { L"Global\\", L"Local\\" }) {
        m_mutex.reset(::CreateMutexW(nullptr, FALSE, NameFor(full, space).c_str()));
        if (m_mutex) return ::GetLastError() == ERROR_ALREADY_EXISTS ? State::TakenByAnother : State::Held;
    }
    return State::Unavailable;
}

// One updater per installation folder: a named mutex whose name comes from
// the folder, held for the whole run.
#pragma once
#include <windows.h>
#include <string>
#include "afxhandle.h"

class CInstallationLock {
public:
    enum class State {
        Held,            // this process holds it
        TakenByAnother,  // another updater runs for this folder
        Unavailable      // no lock could be made at all; the run goes on without one
    };
    CInstallationLock() = default;
    CInstallationLock(const CInstallationLock&) = delete;
    CInstallationLock& operator=(const CInstallationLock&) = delete;

    // Takes the lock of the folder that holds exePath.
    State Take(const char* exePath);

    // The mutex's name for a folder, in a namespace ("Global\\" or "Local\\"):
    // one name per folder, whatever the letter case of its path.
    static std::wstring NameFor(const std::wstring& folder, const wchar_t* space);

private:
    CScopedHandle m_mutex;
};

// One updater per installation folder: a named mutex whose name comes from
// the folder's identity, held for the whole run.
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
    // Why the lock is Unavailable: the system's error for the last namespace tried.
    DWORD Error() const { return m_error; }

    // The mutex's name for a folder, in a namespace ("Global\\" or "Local\\"):
    // one name per folder whatever the spelling of its path (letter case, 8.3
    // form, another drive's view, a link): its volume serial and file id, or
    // its folded path when it cannot be opened.
    static std::wstring NameFor(const std::wstring& folder, const wchar_t* space);

private:
    CScopedHandle m_mutex;
    DWORD m_error = ERROR_SUCCESS;
};

#include "support/Task.h"
#include <shlwapi.h>
#include "rules/PathRules.h"
#include "support/WindowsNames.h"

bool SameHexDigest(const char* a, const char* b)
{
    return *a && *b && EqualIgnoringAsciiCase(a, b);
}

std::string SideFileName(const std::string& ownName)
{
    const size_t dot = ownName.rfind('.');
    return (dot == std::string::npos ? ownName : ownName.substr(0, dot)) + ".EX_";
}

std::string InstalledName(const std::string& localName, const std::string& ownName)
{
    return SameWindowsName(ownName.c_str(), localName.c_str()) ? SideFileName(localName) : localName;
}

std::string LongFileName(const char* path)
{
    char longer[MAX_PATH] = {};
    const DWORD n = ::GetLongPathNameA(path, longer, MAX_PATH);
    return ::PathFindFileNameA(n > 0 && n < MAX_PATH ? longer : path);
}

std::string OwnFileName()
{
    char self[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, self, MAX_PATH);
    return LongFileName(self);
}

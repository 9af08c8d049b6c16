#include "support/WindowsNames.h"
#include <algorithm>
#include <cstring>
#include "rules/PathRules.h"

std::string NarrowExact(const wchar_t* text, UINT codePage, bool& exact)
{
    if (!text) text = L"";
    // UTF-8 refuses the best-fit flag and the default-character query.
    const bool utf8 = codePage == CP_UTF8;
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* used = utf8 ? nullptr : &usedDefault;
    const int n = ::WideCharToMultiByte(codePage, flags, text, -1, nullptr, 0, nullptr, used);
    exact = false;
    if (n <= 0) return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    if (::WideCharToMultiByte(codePage, flags, text, -1, &out[0], n, nullptr, used) != n) return std::string();
    out.resize(static_cast<size_t>(n - 1));
    exact = !usedDefault;
    return out;
}

std::wstring WidenAnsi(const char* text) { return text ? WidenAnsi(text, std::strlen(text)) : std::wstring(); }

std::wstring WidenAnsi(const char* text, size_t length)
{
    const int n = length ? ::MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0) : 0;
    std::wstring w(n > 0 ? static_cast<size_t>(n) : 0, L'\0');
    if (n > 0) ::MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), &w[0], n);
    return w;
}

namespace {
std::wstring Separators(std::wstring w)
{
    std::replace(w.begin(), w.end(), L'/', L'\\');
    return w;
}

int Compare(const wchar_t* a, int an, const wchar_t* b, int bn)
{
    // CSTR_LESS_THAN 1, CSTR_EQUAL 2, CSTR_GREATER_THAN 3
    return ::CompareStringOrdinal(a, an, b, bn, TRUE) - CSTR_EQUAL;
}
} // namespace

int CompareWindowsNames(const std::wstring& a, const std::wstring& b)
{
    const std::wstring x = Separators(a), y = Separators(b);
    return Compare(x.c_str(), static_cast<int>(x.size()), y.c_str(), static_cast<int>(y.size()));
}

bool SameWindowsName(const char* a, const char* b)
{
    if (!a || !b) return false;
    return CompareWindowsNames(WidenAnsi(a), WidenAnsi(b)) == 0;
}

bool SameWindowsElement(const char* a, size_t aLength, const char* b, size_t bLength)
{
    const std::wstring x = WidenAnsi(a, aLength), y = WidenAnsi(b, bLength);
    return Compare(x.c_str(), static_cast<int>(x.size()), y.c_str(), static_cast<int>(y.size())) == 0;
}

bool IsAnsiLeadByte(unsigned char c) { return ::IsDBCSLeadByte(c) != FALSE; }

TempFolderPlace PlaceTempFolder(const char* installation, const char* tempFolder)
{
    TempFolderPlace place;
    char base[MAX_PATH] = {}, temp[MAX_PATH] = {};
    const DWORD b = ::GetFullPathNameA(installation, MAX_PATH, base, nullptr);
    const DWORD t = ::GetFullPathNameA(tempFolder, MAX_PATH, temp, nullptr);
    if (b == 0 || b >= MAX_PATH || t == 0 || t >= MAX_PATH) return place;
    std::string inst = base, folder = temp;
    while (!inst.empty() && (inst.back() == '\\' || inst.back() == '/')) inst.pop_back();
    while (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
    if (IsWithinFolder(inst.c_str(), folder.c_str(), &IsAnsiLeadByte, &SameWindowsElement))
        place.coversInstallation = true;
    else if (IsWithinFolder(folder.c_str(), inst.c_str(), &IsAnsiLeadByte, &SameWindowsElement))
        place.inside = folder.substr(inst.size() + 1);
    return place;
}

const char* UnsafeInstallName(const char* name, const TempFolderPlace& temp)
{
    const NameFault fault = CheckRelativeName(name, &IsAnsiLeadByte);
    if (fault != NameFault::None) return DescribeNameFault(fault);
    // Our journal, kept copies and downloads live there; a file named like the
    // folder itself could never be installed either.
    if (temp.coversInstallation ||
        (!temp.inside.empty() && IsWithinFolder(name, temp.inside.c_str(), &IsAnsiLeadByte, &SameWindowsElement)))
        return "is or lies inside the updater's temporary folder";
    return nullptr;
}

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

std::wstring UpperAsWindows(std::wstring text)
{
    const int n = static_cast<int>(text.size());
    // LCMAP_UPPERCASE without linguistic casing maps one character to one.
    std::wstring upper(text.size(), L'\0');
    if (n > 0 && ::LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, text.data(), n, &upper[0], n) == n) return upper;
    return text;
}

std::wstring FoldWindowsName(std::wstring name)
{
    std::replace(name.begin(), name.end(), L'/', L'\\');
    return UpperAsWindows(std::move(name));
}

std::string WindowsNameKeyUtf8(const char* text, size_t length)
{
    const std::wstring folded = FoldWindowsName(WidenAnsi(text, length));
    const int n = static_cast<int>(folded.size());
    const int k = n ? ::WideCharToMultiByte(CP_UTF8, 0, folded.data(), n, nullptr, 0, nullptr, nullptr) : 0;
    if (k <= 0) return std::string();
    std::string key(static_cast<size_t>(k), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, folded.data(), n, &key[0], k, nullptr, nullptr);
    return key;
}

int CompareWindowsNames(const std::wstring& a, const std::wstring& b)
{
    return FoldWindowsName(a).compare(FoldWindowsName(b));
}

bool SameWindowsName(const char* a, const char* b)
{
    if (!a || !b) return false;
    return CompareWindowsNames(WidenAnsi(a), WidenAnsi(b)) == 0;
}

bool SameWindowsElement(const char* a, size_t aLength, const char* b, size_t bLength)
{
    return CompareWindowsNames(WidenAnsi(a, aLength), WidenAnsi(b, bLength)) == 0;
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

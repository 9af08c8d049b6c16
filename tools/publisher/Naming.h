// How release file names become manifest names and download URLs.
#pragma once
#include <map>
#include <optional>
#include <string>

// Lead byte of a double-byte character in code page 936.
bool IsLeadByte936(unsigned char c);

// The code page 936 bytes of a UTF-8 text; nothing when the text is not valid
// UTF-8 or a character has no exact form in that code page (no best fit).
std::optional<std::string> ToCodePage936(const std::string& utf8);

// The base of the file URLs: the site with its scheme as the updater adds it
// (SiteUrlWithScheme), final slashes removed so no file URL has "//" in its path.
std::string NormalizeBaseUrl(const std::string& site);

// Percent-encodes every byte outside the unreserved set and '/'.
std::string PercentEncodePath(const std::string& path);

// Text made safe inside a double-quoted XML attribute.
std::string XmlAttribute(const std::string& text);

// Names that are one file for the updater on Windows have one key: letter
// case folded as Windows folds it ('/' and '\' alike), and a top-level X.exe
// counted as X.EX_ (the updater puts its own new executable in its side file).
std::string OneFileKey(const std::string& utf8Name);

// Why a release name cannot be published beside the names seen before it: one
// of its folders is, for Windows, a folder seen before under another letter
// case ("Data/a.pak" then "data/b.pak" would be two folders here, one there).
// Empty when it can; folded learns its folders (the fold with a final '/', a
// key no file has, -> the first spelling), beside OneFileKey's keys.
std::string FolderCaseClash(const std::string& utf8Name, std::map<std::string, std::string>& folded);

// The name with every letter in its simple upper-case form, as Windows folds
// names to compare them (not ASCII only: "Σ" and "σ" are one name). UTF-8 in
// and out; text that is not UTF-8 comes back as it was.
std::string FoldCaseAsWindows(const std::string& utf8);

// The steps of a manifest pass, for the pass alone (not a door of the room).
// Any step may throw PassFailed: the pass then queues nothing.
#pragma once
#include <string>
#include <vector>
#include "afxcom.h"
#include "manifest/ManifestPass.h"
#include "support/WindowsNames.h"

struct IXMLDOMDocument;
class CDigestCache;

struct PassFailed {};

// What the steps know of the run.
struct PassContext {
    ManifestRequest request;
    TempFolderPlace temp;
    std::string sideName;  // where the updater's own new executable goes
    bool signedOnly = false;
};

// Logs why the manifest is unreadable and ends the pass.
[[noreturn]] void Unreadable(const char* why);

// The document as msxml reads it from the first length bytes of body (it finds
// the encoding itself).
void ParseManifestXml(const std::string& body, std::size_t length, ComPtr<IXMLDOMDocument>& document);
// The root's "serial" attribute (0 when absent); a serial that is not a number ends the pass.
std::uint64_t ReadSerialAttribute(IXMLDOMDocument* document);
// Every entry of the list; unsafe ones are logged and passed over, and any
// entry that cannot be read ends the pass.
std::vector<ListedFile> ReadEntries(IXMLDOMDocument* document, const PassContext& context);

// Entries that name one file for Windows are one entry: the last one listed wins.
void DropDuplicates(std::vector<ListedFile>& entries, const PassContext& context);
// The entries whose installed copy is missing, differs or cannot be read.
std::vector<ListedFile> SelectChanged(std::vector<ListedFile>& entries, const PassContext& context, CDigestCache& cache);

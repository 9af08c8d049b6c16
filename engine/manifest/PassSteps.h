// The steps of a manifest pass, for the pass alone (not a door of the room).
// Any step may throw PassFailed: the pass then queues nothing.
#pragma once
#include <string>
#include <vector>
#include "manifest/ManifestPass.h"
#include "support/WindowsNames.h"

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

// An entry as the manifest's document gives it, before the rules that decide
// what may be written: its name and URL in the code page, and whether they
// converted exactly.
struct ManifestEntry {
    ListedFile file;
    bool nameExact = true;
    bool urlExact = true;
};
// How a list was read from the document: its text converted to this code page,
// the root's serial read or not (only an updater that checks signatures reads it).
struct ReadAs {
    unsigned codePage = 0;
    bool serialRead = false;
    bool operator==(const ReadAs& o) const { return codePage == o.codePage && serialRead == o.serialRead; }
};
// What a pass reads from the document: the serial (0 when absent or not read)
// and every entry of the list.
struct ManifestContent {
    ReadAs readAs;
    std::uint64_t serial = 0;
    std::vector<ManifestEntry> entries;
};
// How this pass reads a document.
ReadAs ReadAsNow(const PassContext& context);

// The content of the first length bytes of body, through msxml (which finds
// the encoding itself): the serial when readAs says so (one that is not a number
// ends the pass), and every entry (one that cannot be read ends the pass).
ManifestContent ReadManifestXml(const std::string& body, std::size_t length, const ReadAs& readAs);
// The entries the updater may write: unsafe ones are logged and passed over.
std::vector<ListedFile> SafeEntries(std::vector<ManifestEntry>&& entries, const PassContext& context);

// Entries that name one file for Windows are one entry: the last one listed wins.
void DropDuplicates(std::vector<ListedFile>& entries, const PassContext& context);
// The entries whose installed copy is missing, differs or cannot be read.
std::vector<ListedFile> SelectChanged(std::vector<ListedFile>& entries, const PassContext& context, CDigestCache& cache);

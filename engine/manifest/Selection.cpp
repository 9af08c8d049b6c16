// Which listed files the run fetches: one entry per file, and only those whose
// installed copy is missing, differs or cannot be read.
#include <algorithm>
#include "afxfile.h"
#include "manifest/DigestCache.h"
#include "manifest/PassSteps.h"
#include "support/Errors.h"
#include "support/Files.h"
#include "support/RunLog.h"
#include "support/Task.h"

namespace {
// The key two entries for one file share: the updater's own executable and
// its side file are one file too, since both end up as the side file.
std::wstring OneFileKey(const ListedFile& e, const std::wstring& own, const std::wstring& side)
{
    std::wstring key = FoldWindowsName(WidenAnsi(e.name.c_str()));
    return key == own ? side : key;
}

// Why the installed copy is fetched again; null when it is up to date. A
// folder or device where the file should be ends the pass.
const char* ChangeOf(const ListedFile& entry, const std::string& local, CDigestCache& cache)
{
    // One look at the file (its folder's listing) serves both the test below and the cache's stamp.
    FileStamp stamp;
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    const bool stamped = cache.StampOf(local.c_str(), stamp, attributes);
    if (attributes == INVALID_FILE_ATTRIBUTES) return "queued (missing)";
    // Whatever else stands there cannot be replaced by a file.
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) {
        RunLog::Write("entry %s: a folder or device stands where the file is", entry.name.c_str());
        throw PassFailed();
    }
    try {
        const CString md5 = cache.Digest(entry.name, local.c_str(), stamped ? &stamp : nullptr);
        return SameHexDigest(md5, entry.md5.c_str()) ? nullptr : "queued";
    } catch (const CFileException& e) {
        RunLog::Write("entry %s: the installed copy cannot be read: %s", entry.name.c_str(), DescribeError(e).c_str());
        return "queued (unreadable)";
    }
}
} // namespace

void DropDuplicates(std::vector<ListedFile>& entries, const PassContext& context)
{
    std::vector<std::wstring> keys;
    keys.reserve(entries.size());
    const std::wstring own = FoldWindowsName(WidenAnsi(context.request.ownName.c_str()));
    const std::wstring side = FoldWindowsName(WidenAnsi(context.sideName.c_str()));
    for (const ListedFile& e : entries) keys.push_back(OneFileKey(e, own, side));
    std::vector<size_t> order(entries.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return keys[a] < keys[b]; });
    std::vector<bool> dropped(entries.size(), false);
    for (size_t i = 0; i + 1 < order.size(); ++i) {
        const size_t here = order[i], next = order[i + 1];
        if (keys[here] != keys[next]) continue;
        // Stable: within a group the manifest order holds, so the next one is listed later.
        dropped[here] = true;
        RunLog::Write("entry %ld %s: dropped (the same file as entry %ld %s, listed later)", entries[here].number,
                      entries[here].name.c_str(), entries[next].number, entries[next].name.c_str());
    }
    size_t kept = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (dropped[i]) continue;
        if (kept != i) entries[kept] = std::move(entries[i]);
        ++kept;
    }
    entries.resize(kept);
}

std::vector<ListedFile> SelectChanged(std::vector<ListedFile>& entries, const PassContext& context, CDigestCache& cache)
{
    std::vector<ListedFile> queued;
    // Only what is fetched gets a line of its own: a start with nothing to
    // update writes a few lines, whatever the number of files.
    for (ListedFile& entry : entries) {
        const char* change = ChangeOf(entry, JoinPath(context.request.installDir, entry.name), cache);
        if (!change) continue;
        RunLog::Write("entry %s: %s", entry.name.c_str(), change);
        queued.push_back(std::move(entry));
    }
    RunLog::Write("entries: %lu up to date, %lu queued; digests: %lu from the digest cache, %lu read (%llu bytes)",
                  static_cast<unsigned long>(entries.size() - queued.size()), static_cast<unsigned long>(queued.size()),
                  static_cast<unsigned long>(cache.Hits()), static_cast<unsigned long>(cache.Read()),
                  static_cast<unsigned long long>(cache.ReadBytes()));
    return queued;
}

// Checks a download against the digests its manifest entry names, in the same
// pass as its blocks are written: no second read of the file. Another digest
// is one more member fed by Hash and compared in Finish.
#pragma once
#include <memory>
#include <string>
#include <vector>
#include "support/SlimLock.h"
#include "support/Task.h"
#include "Md5Digest.h"
#include "Sha256Digest.h"
#include "afxhandle.h"

class CDownloadVerifier {
public:
    // Where the bytes come from decides how the work is shared: a transfer
    // must not wait behind the digests, while bytes copied from local files
    // have nobody to give way to, so both cores digest at full speed.
    enum class Source { Network, Disk };
    explicit CDownloadVerifier(const DownloadTask& task, Source source = Source::Network);
    ~CDownloadVerifier();
    CDownloadVerifier(const CDownloadVerifier&) = delete;
    CDownloadVerifier& operator=(const CDownloadVerifier&) = delete;

    void Update(const BYTE* data, UINT length);
    // After the last block: empty when every expected digest matched, otherwise
    // what did not match, in words for the log.
    std::string Finish();

private:
    void Hash(const BYTE* data, UINT length);
    void Publish();
    void StopHashing();
    static DWORD WINAPI HashThread(LPVOID param);

    const DownloadTask& m_task;
    const bool m_fromDisk;   // MD5 on the caller's thread, SHA-256 on ours, no yielding
    CMd5Digest m_md5;
    std::unique_ptr<CSha256Digest> m_sha256;  // only when the manifest names one

    // Digesting costs about as much as receiving under Wine, so a file bigger
    // than one piece is digested on a thread of its own, a piece behind the
    // transfer; memory stays m_pieces pieces whatever the file's size. Bytes
    // from disk come a megabyte at a time (read, written, MD5): the ring holds
    // two of those, so that the thread never waits while the next is prepared.
    static const UINT kPiece = 64 * 1024, kNetworkPieces = 8, kDiskPieces = 32;
    static const UINT kSlice = 1024;  // digested between two yields to the transfer
    const UINT m_pieces;
    std::vector<BYTE> m_buffer;   // m_pieces pieces
    UINT m_lengths[kDiskPieces] = {};
    UINT m_fill = 0;              // bytes in the piece being filled (transfer side)
    UINT m_head = 0, m_tail = 0;  // pieces handed over / digested (under m_lock)
    bool m_end = false;
    CSlimLock m_lock;
    CSlimCondition m_ready, m_free;
    CScopedHandle m_thread;
    bool m_threadFailed = false;
};

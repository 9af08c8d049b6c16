// Checks a download against the digests its manifest entry names, in the same
// pass as its blocks are written: no second read of the file. Another digest
// is one more member fed by Update and compared in Finish.
#pragma once
#include <memory>
#include <string>
#include "DownloadManager.h"
#include "Md5Digest.h"
#include "Sha256Digest.h"

class CDownloadVerifier {
public:
    explicit CDownloadVerifier(const DownloadTask& task)
        : m_task(task), m_sha256(task.bSha256 ? std::make_unique<CSha256Digest>() : nullptr) {}
    void Update(const BYTE* data, UINT length)
    {
        m_md5.Update(data, length);
        if (m_sha256) m_sha256->Update(data, length);
    }
    // After the last block: empty when every expected digest matched, otherwise
    // what did not match, in words for the log.
    std::string Finish();

private:
    const DownloadTask& m_task;
    CMd5Digest m_md5;
    std::unique_ptr<CSha256Digest> m_sha256;  // only when the manifest names one
};

// Hex digests compare equal in either letter case.
bool SameHexDigest(const char* a, const char* b);

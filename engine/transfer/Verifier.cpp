#include "transfer/Verifier.h"
#include <atomic>
#include <cstring>

namespace {
// Digest threads of every transfer in flight together: no more than the
// machine has cores; a transfer without one digests on its own thread.
std::atomic<unsigned> s_digestThreads{ 0 };

bool TakeDigestThread()
{
    static const unsigned limit = [] {
        SYSTEM_INFO info;
        ::GetSystemInfo(&info);
        return info.dwNumberOfProcessors > 0 ? static_cast<unsigned>(info.dwNumberOfProcessors) : 1u;
    }();
    for (unsigned n = s_digestThreads.load(); n < limit;)
        if (s_digestThreads.compare_exchange_weak(n, n + 1)) return true;
    return false;
}
} // namespace

CDownloadVerifier::CDownloadVerifier(const DownloadTask& task, Source source)
    : m_task(task), m_fromDisk(source == Source::Disk),
      m_sha256(task.bSha256 ? std::make_unique<CSha256Digest>() : nullptr),
      m_pieces(source == Source::Disk ? kDiskPieces : kNetworkPieces), m_buffer(kPiece)
{
}

CDownloadVerifier::~CDownloadVerifier()
{
    StopHashing();
}

void CDownloadVerifier::Hash(const BYTE* data, UINT length)
{
    if (!m_fromDisk) m_md5.Update(data, length);
    if (m_sha256) m_sha256->Update(data, length);
}

void CDownloadVerifier::Update(const BYTE* data, UINT length)
{
    if (m_fromDisk) {
        m_md5.Update(data, length);
        if (!m_sha256) return;
    }
    while (length > 0) {
        BYTE* piece = m_buffer.data() + (m_head % m_pieces) * kPiece;
        const UINT n = length < kPiece - m_fill ? length : kPiece - m_fill;
        std::memcpy(piece + m_fill, data, n);
        m_fill += n;
        data += n;
        length -= n;
        if (m_fill == kPiece) Publish();
    }
}

void CDownloadVerifier::Publish()
{
    const UINT index = m_head % m_pieces;
    if (!m_thread && !m_threadFailed) {
        m_threadFailed = !TakeDigestThread();
        if (!m_threadFailed) {
            m_buffer.resize(kPiece * m_pieces);  // the first piece stays where it is
            m_thread.reset(::CreateThread(nullptr, 0, &CDownloadVerifier::HashThread, this, 0, nullptr));
            m_threadFailed = !m_thread;
            if (m_threadFailed) --s_digestThreads;
        }
        if (m_thread && !m_fromDisk) ::SetThreadPriority(m_thread.get(), THREAD_PRIORITY_BELOW_NORMAL);
    }
    if (!m_thread) {
        // No thread to hand it to: digest it here.
        Hash(m_buffer.data() + index * kPiece, m_fill);
        m_fill = 0;
        return;
    }
    {
        std::unique_lock<CSlimLock> lock(m_lock);
        m_lengths[index] = m_fill;
        ++m_head;
        m_ready.notify_one();
        // The next piece to fill must have been digested.
        m_free.wait(lock, [this] { return m_head - m_tail < m_pieces; });
    }
    m_fill = 0;
}

DWORD WINAPI CDownloadVerifier::HashThread(LPVOID param)
{
    auto* self = static_cast<CDownloadVerifier*>(param);
    std::unique_lock<CSlimLock> lock(self->m_lock);
    for (;;) {
        self->m_ready.wait(lock, [self] { return self->m_tail != self->m_head || self->m_end; });
        if (self->m_tail == self->m_head) break;  // ended, and everything digested
        const UINT index = self->m_tail % self->m_pieces;
        const UINT length = self->m_lengths[index];
        lock.unlock();
        // Give way to the transfer thread between slices: it is woken at every
        // network read, and on a machine with two cores a digest that kept its
        // core would make it wait behind us (thread priorities are not honoured
        // everywhere we run, so we do not rely on them alone).
        const BYTE* piece = self->m_buffer.data() + index * kPiece;
        if (self->m_fromDisk) {
            self->Hash(piece, length);
        } else {
            for (UINT done = 0; done < length; done += kSlice) {
                self->Hash(piece + done, length - done < kSlice ? length - done : kSlice);
                ::SwitchToThread();
            }
        }
        lock.lock();
        ++self->m_tail;
        self->m_free.notify_one();
    }
    return 0;
}

void CDownloadVerifier::StopHashing()
{
    if (!m_thread) return;
    {
        std::lock_guard<CSlimLock> lock(m_lock);
        m_end = true;
        m_ready.notify_one();
    }
    ::WaitForSingleObject(m_thread.get(), INFINITE);
    m_thread.reset();
    --s_digestThreads;
}

std::string CDownloadVerifier::Finish()
{
    if (m_fill > 0 && m_thread) {
        Publish();
    } else if (m_fill > 0) {
        // A file of one piece is not worth a thread.
        Hash(m_buffer.data() + (m_head % m_pieces) * kPiece, m_fill);
        m_fill = 0;
    }
    StopHashing();
    const CString md5 = m_md5.Final();
    if (!SameHexDigest(md5, m_task.szMd5))
        return std::string("MD5 mismatch (expected \"") + m_task.szMd5 + "\", got " + md5.GetString() + ")";
    if (m_sha256) {
        const std::string got = m_sha256->FinalHex();
        if (!SameHexDigest(got.c_str(), m_task.szSha256))
            return std::string("SHA-256 mismatch (expected \"") + m_task.szSha256 + "\", got " + got + ")";
    }
    return std::string();
}

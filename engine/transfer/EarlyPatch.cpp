#include "transfer/EarlyPatch.h"
#include <utility>
#include "afxfile.h"
#include "support/Files.h"
#include "transfer/FileFetch.h"
#include "transfer/PatchParts.h"

CEarlyPatch::CEarlyPatch(CInternetSession* session, const std::string& installDir, const DownloadTask& task)
    : m_task(task), m_context{ session, std::string(), installDir, m_sink, nullptr },
      m_installed(JoinPath(installDir, task.szLocalName)), m_before(StampOf(m_installed)),
      m_survey(std::make_unique<PatchSurvey>()), m_thread([this] { Run(); })
{
}

CEarlyPatch::~CEarlyPatch()
{
    m_sink.stop.store(true);
    if (m_thread.joinable()) m_thread.join();
}

void CEarlyPatch::Run()
{
    // A copy the platform holds open, sharing nothing, is surveyed by the patch once the platform is stopped.
    if (!CSharedReadFile(m_installed.c_str()).IsOpen()) return;
    try {
        m_survey->local.paths.push_back(m_installed);
        CFileFetch(m_context, m_task).Survey(*m_survey);
    } catch (...) {
        m_failed = std::current_exception();
    }
}

std::unique_ptr<PatchSurvey> CEarlyPatch::Take(const DownloadTask& task)
{
    if (&task != &m_task) return nullptr;
    if (m_thread.joinable()) m_thread.join();
    std::unique_ptr<PatchSurvey> survey = std::move(m_survey);
    // A copy read in part, or changed since, was perhaps being written by the
    // platform: it is surveyed again, now that the platform is stopped.
    if (!survey || !m_before.exists || !(StampOf(m_installed) == m_before) || !survey->local.whole) return nullptr;
    if (m_failed) std::rethrow_exception(std::exchange(m_failed, nullptr));
    return survey;
}

CEarlyPatch::Stamp CEarlyPatch::StampOf(const std::string& path)
{
    Stamp stamp;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return stamp;
    stamp.exists = true;
    stamp.size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    stamp.written = data.ftLastWriteTime;
    return stamp;
}

bool CEarlyPatch::Stamp::operator==(const Stamp& other) const
{
    return exists == other.exists && size == other.size && written.dwLowDateTime == other.written.dwLowDateTime &&
           written.dwHighDateTime == other.written.dwHighDateTime;
}

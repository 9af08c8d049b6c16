#include "SiteFiles.h"
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

bool ReadWholeFile(const fs::path& path, std::string& bytes, std::string& why)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    if (!in || !(text << in.rdbuf())) {
        why = std::string("cannot be read: ") + std::strerror(errno);
        return false;
    }
    bytes = text.str();
    return true;
}

bool WriteWholeFile(const fs::path& path, const void* data, std::size_t n)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
    out.close();
    return static_cast<bool>(out);
}

StagedFiles::~StagedFiles()
{
    if (m_committed) return;
    std::error_code ec;
    for (const Staged& s : m_staged) fs::remove(s.temp, ec);
}

fs::path StagedFiles::Stage(const fs::path& dest, const std::string& shownAs)
{
    fs::path temp = dest;
    temp += m_suffix;
    m_staged.push_back({ temp, dest, shownAs });
    return temp;
}

bool StagedFiles::Commit(std::string& why)
{
    std::error_code ec;
    for (const Staged& s : m_staged) {
        fs::rename(s.temp, s.dest, ec);
        if (ec) {
            why = "cannot move " + s.shownAs + " into place: " + ec.message();
            return false;
        }
    }
    m_committed = true;
    return true;
}

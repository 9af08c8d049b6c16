#include "SiteFiles.h"
#include <zlib.h>
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

std::string GzipOf(const std::string& bytes)
{
    z_stream z{};
    // 15 bits of window, +16: a gzip header and trailer around the deflate data.
    if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK) return std::string();
    std::string out(deflateBound(&z, static_cast<uLong>(bytes.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    z.avail_in = static_cast<uInt>(bytes.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return result == Z_STREAM_END ? out : std::string();
}

#include "PublisherTestUtil.h"
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>

TempDir::TempDir()
{
    std::string tmpl = (fs::temp_directory_path() / "publisher-test-XXXXXX").string();
    if (!::mkdtemp(&tmpl[0])) throw std::runtime_error("mkdtemp failed");
    m_path = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec;
    // Make anything a test locked up removable again.
    for (auto it = fs::recursive_directory_iterator(m_path, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (!it->is_symlink()) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(m_path, ec);
}

void WriteFile(const fs::path& p, const std::string& bytes)
{
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + p.string());
}

std::string ReadFile(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string Pattern(std::size_t n, unsigned seed)
{
    std::string s(n, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (auto& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    if (n) s[0] = 'P';
    return s;
}

std::string ShellQuote(const std::string& s)
{
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

CommandResult RunCommand(const std::string& command)
{
    CommandResult r;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), p)) > 0) r.output.append(buf, n);
    const int st = ::pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

namespace {
std::string Decode(std::string s)
{
    static const std::pair<const char*, const char*> kEntities[] = {
        { "&lt;", "<" }, { "&gt;", ">" }, { "&quot;", "\"" }, { "&apos;", "'" }, { "&#9;", "\t" },
        { "&#10;", "\n" }, { "&#13;", "\r" }, { "&amp;", "&" } };
    for (const auto& [from, to] : kEntities) {
        for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + 1)) s.replace(at, std::strlen(from), to);
    }
    return s;
}
} // namespace

std::vector<ManifestEntry> ParseManifest(const std::string& xml)
{
    std::vector<ManifestEntry> out;
    const std::regex file(R"re(<file\s+filename="([^"]*)"\s+filesize="([^"]*)"\s+fileversion="([^"]*)"\s+md5="([^"]*)"\s+sha256="([^"]*)"\s+fileload="([^"]*)"(?:\s+chunks="([^"]*)"\s+chunkssha256="([^"]*)"\s+chunkshead="([^"]*)")?\s*/>)re");
    for (std::sregex_iterator it(xml.begin(), xml.end(), file), end; it != end; ++it)
        out.push_back({ Decode((*it)[1]), Decode((*it)[2]), Decode((*it)[3]), Decode((*it)[4]), (*it)[5],
                        Decode((*it)[6]), Decode((*it)[7]), (*it)[8], (*it)[9] });
    return out;
}

namespace {
void Put16(std::string& b, size_t at, uint32_t v) { b[at] = char(v); b[at + 1] = char(v >> 8); }
void Put32(std::string& b, size_t at, uint32_t v) { Put16(b, at, v & 0xFFFF); Put16(b, at + 2, v >> 16); }
} // namespace

std::string MakePeImage(uint16_t a, uint16_t b, uint16_t c, uint16_t d, bool pe32plus, bool withVersion)
{
    const uint32_t peOff = 0x80, optSize = pe32plus ? 240 : 224, rsrcRva = 0x2000, rsrcRaw = 0x400;
    std::string img(0x800, '\0');
    img[0] = 'M'; img[1] = 'Z';
    Put32(img, 60, peOff);
    img.replace(peOff, 4, std::string("PE\0\0", 4));
    Put16(img, peOff + 4, pe32plus ? 0x8664 : 0x14C);
    Put16(img, peOff + 6, 1);        // one section
    Put16(img, peOff + 20, optSize);
    const size_t opt = peOff + 24;
    Put16(img, opt, pe32plus ? 0x20B : 0x10B);
    const size_t dirs = opt + (pe32plus ? 112 : 96);
    Put32(img, dirs - 4, 16);        // data directory count
    Put32(img, dirs + 16, rsrcRva);  // resource table
    Put32(img, dirs + 20, 0x200);
    const size_t sec = opt + optSize;
    img.replace(sec, 5, ".rsrc");
    Put32(img, sec + 8, 0x200);      // virtual size
    Put32(img, sec + 12, rsrcRva);
    Put32(img, sec + 16, 0x200);     // raw size
    Put32(img, sec + 20, rsrcRaw);

    // Resource tree: type -> name 1 -> language 0x409 -> data.
    const size_t r = rsrcRaw;
    Put16(img, r + 14, 1);
    Put32(img, r + 16, withVersion ? 16 : 3);  // RT_VERSION, or an icon
    Put32(img, r + 20, 0x80000000u | 0x18);
    Put16(img, r + 0x18 + 14, 1);
    Put32(img, r + 0x18 + 16, 1);
    Put32(img, r + 0x18 + 20, 0x80000000u | 0x30);
    Put16(img, r + 0x30 + 14, 1);
    Put32(img, r + 0x30 + 16, 0x409);
    Put32(img, r + 0x30 + 20, 0x48);
    Put32(img, r + 0x48, rsrcRva + 0x60);  // data RVA
    Put32(img, r + 0x48 + 4, 92);
    // VS_VERSIONINFO at +0x60: header, key, padding, VS_FIXEDFILEINFO.
    const size_t v = r + 0x60;
    Put16(img, v, 92);
    Put16(img, v + 2, 52);
    const char key[] = "VS_VERSION_INFO";
    for (size_t i = 0; i < sizeof(key); ++i) Put16(img, v + 6 + 2 * i, static_cast<unsigned char>(key[i]));
    Put32(img, v + 40, 0xFEEF04BD);
    Put32(img, v + 44, 0x10000);
    Put32(img, v + 48, (uint32_t(a) << 16) | b);
    Put32(img, v + 52, (uint32_t(c) << 16) | d);
    Put32(img, v + 56, 0x00090009);  // product version differs on purpose
    Put32(img, v + 60, 0x00090009);
    return img;
}

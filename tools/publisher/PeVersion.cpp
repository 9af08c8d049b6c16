#include "PeVersion.h"
#include <algorithm>
#include <cstring>
#include <vector>

bool MemorySource::Read(std::uint64_t offset, void* out, std::size_t n) const
{
    if (offset > m_size || n > m_size - offset) return false;
    std::memcpy(out, m_data + offset, n);
    return true;
}

namespace {

constexpr std::uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr std::uint32_t kRtVersion = 16;
constexpr std::uint16_t kMaxSections = 96;  // the loader's own limit

std::uint16_t U16(const unsigned char* p) { return std::uint16_t(p[0] | (p[1] << 8)); }
std::uint32_t U32(const unsigned char* p) { return std::uint32_t(U16(p)) | (std::uint32_t(U16(p + 2)) << 16); }

struct Section {
    std::uint32_t va, vsize, raw, rawSize;
};

// The resource section, read whole, with the RVA its first byte has.
struct ResourceView {
    std::vector<unsigned char> bytes;
    std::uint32_t baseRva = 0;

    const unsigned char* At(std::uint32_t off, std::uint32_t n) const
    {
        if (off > bytes.size() || n > bytes.size() - off) return nullptr;
        return bytes.data() + off;
    }
};

// Directory entry of the resource tree: the id wanted, or the first entry when
// id is 0. Returns the entry's offset field, or nothing.
std::optional<std::uint32_t> FindEntry(const ResourceView& rv, std::uint32_t dirOff, std::uint32_t id)
{
    const unsigned char* dir = rv.At(dirOff, 16);
    if (!dir) return std::nullopt;
    const std::uint32_t named = U16(dir + 12), ids = U16(dir + 14);
    for (std::uint32_t i = 0; i < named + ids; ++i) {
        const unsigned char* e = rv.At(dirOff + 16 + i * 8, 8);
        if (!e) return std::nullopt;
        const std::uint32_t name = U32(e);
        const bool isId = (name & 0x80000000u) == 0;
        if (id == 0 || (isId && name == id)) return U32(e + 4);
    }
    return std::nullopt;
}

std::optional<std::uint32_t> Subdirectory(std::optional<std::uint32_t> entry)
{
    if (!entry || (*entry & 0x80000000u) == 0) return std::nullopt;
    return *entry & 0x7FFFFFFFu;
}

std::string FormatVersion(std::uint32_t ms, std::uint32_t ls)
{
    return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." + std::to_string(ls >> 16) + "." +
           std::to_string(ls & 0xFFFF);
}

// Where the headers put the resource table.
struct ResourceTable {
    std::uint64_t sectionsAt = 0;  // file offset of the section table
    std::uint16_t sectionCount = 0;
    std::uint32_t rva = 0, size = 0;
};

std::optional<ResourceTable> FindResourceTable(const ByteSource& src)
{
    unsigned char dos[64];
    if (!src.Read(0, dos, sizeof(dos)) || dos[0] != 'M' || dos[1] != 'Z') return std::nullopt;
    const std::uint32_t peOff = U32(dos + 60);
    unsigned char head[24];
    if (!src.Read(peOff, head, sizeof(head)) || std::memcmp(head, "PE\0\0", 4) != 0) return std::nullopt;
    const std::uint16_t sectionCount = U16(head + 6), optSize = U16(head + 20);
    if (sectionCount == 0 || sectionCount > kMaxSections || optSize < 2) return std::nullopt;

    std::vector<unsigned char> opt(optSize);
    if (!src.Read(peOff + 24ull, opt.data(), opt.size())) return std::nullopt;
    const std::uint16_t magic = U16(opt.data());
    std::size_t dirsAt;
    if (magic == 0x10B) dirsAt = 96;        // PE32
    else if (magic == 0x20B) dirsAt = 112;  // PE32+
    else return std::nullopt;
    // The resource table is data directory 2; its count precedes the table.
    if (opt.size() < dirsAt + 3 * 8 || U32(opt.data() + dirsAt - 4) < 3) return std::nullopt;
    ResourceTable t;
    t.sectionsAt = peOff + 24ull + optSize;
    t.sectionCount = sectionCount;
    t.rva = U32(opt.data() + dirsAt + 16);
    t.size = U32(opt.data() + dirsAt + 20);
    if (t.rva == 0 || t.size == 0) return std::nullopt;
    return t;
}

// The resource section, read whole from the section that holds the table.
std::optional<ResourceView> ReadResources(const ByteSource& src, const ResourceTable& t)
{
    std::vector<unsigned char> table(std::size_t(t.sectionCount) * 40);
    if (!src.Read(t.sectionsAt, table.data(), table.size())) return std::nullopt;
    std::optional<Section> holder;
    for (std::uint16_t i = 0; i < t.sectionCount; ++i) {
        const unsigned char* s = table.data() + i * 40;
        Section sec{ U32(s + 12), U32(s + 8), U32(s + 20), U32(s + 16) };
        const std::uint32_t span = sec.vsize ? sec.vsize : sec.rawSize;
        if (t.rva >= sec.va && t.rva - sec.va < span) {
            holder = sec;
            break;
        }
    }
    if (!holder) return std::nullopt;

    // Only what lies in the file counts; a section may be longer in memory.
    ResourceView rv;
    rv.baseRva = t.rva;
    const std::uint32_t into = t.rva - holder->va;
    if (into >= holder->rawSize) return std::nullopt;
    std::uint64_t length = std::min<std::uint64_t>(holder->rawSize - into, t.size);
    length = std::min<std::uint64_t>(length, src.Size() > holder->raw + std::uint64_t(into)
                                                 ? src.Size() - holder->raw - into : 0);
    if (length == 0 || length > (64u << 20)) return std::nullopt;
    rv.bytes.resize(static_cast<std::size_t>(length));
    if (!src.Read(std::uint64_t(holder->raw) + into, rv.bytes.data(), rv.bytes.size())) return std::nullopt;
    return rv;
}

// The version resource's bytes: type RT_VERSION, then the first name, then
// the first language.
const unsigned char* VersionResource(const ResourceView& rv, std::uint32_t& size)
{
    auto names = Subdirectory(FindEntry(rv, 0, kRtVersion));
    if (!names) return nullptr;
    auto langs = Subdirectory(FindEntry(rv, *names, 0));
    if (!langs) return nullptr;
    auto leaf = FindEntry(rv, *langs, 0);
    if (!leaf || (*leaf & 0x80000000u) != 0) return nullptr;
    const unsigned char* data = rv.At(*leaf, 16);
    if (!data) return nullptr;
    const std::uint32_t dataRva = U32(data);
    size = U32(data + 4);
    if (dataRva < rv.baseRva) return nullptr;
    const unsigned char* info = rv.At(dataRva - rv.baseRva, size);
    return info && size >= 6 ? info : nullptr;
}

// VS_VERSIONINFO: lengths, type, the key "VS_VERSION_INFO", then the fixed
// part at the next 32-bit boundary.
std::optional<std::string> FixedFileVersion(const unsigned char* info, std::uint32_t size)
{
    const std::uint32_t total = std::min<std::uint32_t>(U16(info), size), valueLength = U16(info + 2);
    static const char kKey[] = "VS_VERSION_INFO";
    std::uint32_t at = 6;
    for (const char* k = kKey; ; ++k, at += 2) {
        if (at + 2 > total || U16(info + at) != static_cast<unsigned char>(*k)) return std::nullopt;
        if (!*k) break;
    }
    at = (at + 2 + 3) & ~3u;
    if (valueLength < 52 || at + 52 > total || U32(info + at) != kFixedInfoSignature) return std::nullopt;
    return FormatVersion(U32(info + at + 8), U32(info + at + 12));
}

} // namespace

std::optional<std::string> ReadPeFileVersion(const ByteSource& src)
{
    const std::optional<ResourceTable> table = FindResourceTable(src);
    if (!table) return std::nullopt;
    const std::optional<ResourceView> rv = ReadResources(src, *table);
    if (!rv) return std::nullopt;
    std::uint32_t size = 0;
    const unsigned char* info = VersionResource(*rv, size);
    if (!info) return std::nullopt;
    return FixedFileVersion(info, size);
}

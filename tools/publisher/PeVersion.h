// File version of a Windows executable, read from its version resource.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// Random access to the bytes of a file; Read fails past the end.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::uint64_t Size() const = 0;
    virtual bool Read(std::uint64_t offset, void* out, std::size_t n) const = 0;
};

class MemorySource : public ByteSource {
public:
    MemorySource(const void* data, std::size_t size) : m_data(static_cast<const unsigned char*>(data)), m_size(size) {}
    std::uint64_t Size() const override { return m_size; }
    bool Read(std::uint64_t offset, void* out, std::size_t n) const override;
private:
    const unsigned char* m_data;
    std::size_t m_size;
};

// "a.b.c.d" from VS_FIXEDFILEINFO's file version when the bytes are a PE image
// with an RT_VERSION resource; nothing for anything else, including truncated
// or damaged images.
std::optional<std::string> ReadPeFileVersion(const ByteSource& src);

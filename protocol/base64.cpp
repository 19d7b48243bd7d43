#include "protocol/base64.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace velmora::base64 {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kSkip = 0xFF;

constexpr std::array<std::uint8_t, 256> makeDecodeTable()
{
    std::array<std::uint8_t, 256> table{};
    for (auto &entry : table)
        entry = kSkip;
    for (std::uint8_t i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(kAlphabet[i])] = i;
    return table;
}

constexpr std::array<std::uint8_t, 256> kDecode = makeDecodeTable();

// For whole groups of four characters: each table holds a character's six bits already shifted
// to their place in the group's 24 bits, so a group is four lookups and three ORs. Characters
// outside the alphabet carry kNotInGroup, which survives the ORs.
constexpr std::uint32_t kNotInGroup = 0x80000000u;

constexpr std::array<std::uint32_t, 256> makeGroupTable(int shift)
{
    std::array<std::uint32_t, 256> table{};
    for (std::size_t c = 0; c < 256; ++c)
        table[c] = kDecode[c] == kSkip ? kNotInGroup : std::uint32_t(kDecode[c]) << shift;
    return table;
}

constexpr std::array<std::uint32_t, 256> kGroup0 = makeGroupTable(18);
constexpr std::array<std::uint32_t, 256> kGroup1 = makeGroupTable(12);
constexpr std::array<std::uint32_t, 256> kGroup2 = makeGroupTable(6);
constexpr std::array<std::uint32_t, 256> kGroup3 = makeGroupTable(0);

// Every pair of alphabet characters, indexed by the twelve bits they encode.
constexpr std::array<char, 8192> makePairTable()
{
    std::array<char, 8192> table{};
    for (std::size_t v = 0; v < 4096; ++v) {
        table[2 * v] = kAlphabet[v >> 6];
        table[2 * v + 1] = kAlphabet[v & 63];
    }
    return table;
}

constexpr std::array<char, 8192> kPairs = makePairTable();

} // namespace

char *encode(const char *in, std::size_t n, char *out)
{
    const auto *src = reinterpret_cast<const unsigned char *>(in);
    std::size_t i = 0;
    // Two lookups of twelve bits each per group of three bytes.
    for (; i + 3 <= n; i += 3) {
        const std::uint32_t v =
            (std::uint32_t(src[i]) << 16) | (std::uint32_t(src[i + 1]) << 8) | src[i + 2];
        std::memcpy(out, &kPairs[2 * (v >> 12)], 2);
        std::memcpy(out + 2, &kPairs[2 * (v & 0xFFF)], 2);
        out += 4;
    }
    if (n - i == 1) {
        const std::uint32_t v = std::uint32_t(src[i]) << 16;
        *out++ = kAlphabet[v >> 18];
        *out++ = kAlphabet[(v >> 12) & 63];
        *out++ = '=';
        *out++ = '=';
    } else if (n - i == 2) {
        const std::uint32_t v = (std::uint32_t(src[i]) << 16) | (std::uint32_t(src[i + 1]) << 8);
        *out++ = kAlphabet[v >> 18];
        *out++ = kAlphabet[(v >> 12) & 63];
        *out++ = kAlphabet[(v >> 6) & 63];
        *out++ = '=';
    }
    return out;
}

std::string encode(std::string_view in)
{
    std::string out(encodedSize(in.size()), '\0');
    encode(in.data(), in.size(), out.data());
    return out;
}

std::size_t decode(const char *in, std::size_t n, char *out, bool *onlyBase64Text)
{
    const auto *src = reinterpret_cast<const unsigned char *>(in);
    auto *dst = reinterpret_cast<unsigned char *>(out);
    std::size_t written = 0;
    std::uint32_t buf = 0;
    int nbits = 0;
    bool clean = true;
    std::size_t i = 0;
    while (i < n) {
        // Whole groups of four alphabet characters while the bit stream is byte-aligned.
        if (nbits == 0) {
            while (i + 4 <= n) {
                const std::uint32_t v = kGroup0[src[i]] | kGroup1[src[i + 1]] |
                                        kGroup2[src[i + 2]] | kGroup3[src[i + 3]];
                if (v & kNotInGroup)
                    break;
                dst[written] = std::uint8_t(v >> 16);
                dst[written + 1] = std::uint8_t(v >> 8);
                dst[written + 2] = std::uint8_t(v);
                written += 3;
                i += 4;
            }
            if (i >= n)
                break;
        }
        // One character at a time, skipping what is not in the alphabet, as Qt's decoder does.
        const unsigned char c = src[i++];
        const std::uint8_t d = kDecode[c];
        if (d == kSkip) {
            clean = clean && c == '=';
            continue;
        }
        buf = (buf << 6) | d;
        nbits += 6;
        if (nbits >= 8) {
            nbits -= 8;
            dst[written++] = std::uint8_t(buf >> nbits);
            buf &= (1u << nbits) - 1;
        }
    }
    if (onlyBase64Text)
        *onlyBase64Text = clean;
    return written;
}

std::string decode(std::string_view in)
{
    std::string out(maxDecodedSize(in.size()), '\0');
    out.resize(decode(in.data(), in.size(), out.data()));
    return out;
}

} // namespace velmora::base64

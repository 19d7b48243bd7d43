#include "protocol/base64.h"

#include <array>
#include <cstdint>

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

} // namespace

char *encode(const char *in, std::size_t n, char *out)
{
    const auto *src = reinterpret_cast<const unsigned char *>(in);
    std::size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const std::uint32_t v = (std::uint32_t(src[i]) << 16) | (std::uint32_t(src[i + 1]) << 8) | src[i + 2];
        *out++ = kAlphabet[v >> 18];
        *out++ = kAlphabet[(v >> 12) & 63];
        *out++ = kAlphabet[(v >> 6) & 63];
        *out++ = kAlphabet[v & 63];
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

std::size_t decode(const char *in, std::size_t n, char *out)
{
    const auto *src = reinterpret_cast<const unsigned char *>(in);
    std::size_t written = 0;
    std::uint32_t buf = 0;
    int nbits = 0;
    std::size_t i = 0;
    while (i < n) {
        // Whole groups of four alphabet characters while the bit stream is byte-aligned.
        if (nbits == 0) {
            while (i + 4 <= n) {
                const std::uint32_t a = kDecode[src[i]], b = kDecode[src[i + 1]],
                                    c = kDecode[src[i + 2]], d = kDecode[src[i + 3]];
                if ((a | b | c | d) & 0xC0)
                    break;
                const std::uint32_t v = (a << 18) | (b << 12) | (c << 6) | d;
                out[written++] = char(v >> 16);
                out[written++] = char((v >> 8) & 0xFF);
                out[written++] = char(v & 0xFF);
                i += 4;
            }
            if (i >= n)
                break;
        }
        // One character at a time, skipping what is not in the alphabet, as Qt's decoder does.
        const std::uint8_t d = kDecode[src[i++]];
        if (d == kSkip)
            continue;
        buf = (buf << 6) | d;
        nbits += 6;
        if (nbits >= 8) {
            nbits -= 8;
            out[written++] = char(buf >> nbits);
            buf &= (1u << nbits) - 1;
        }
    }
    return written;
}

std::string decode(std::string_view in)
{
    std::string out(maxDecodedSize(in.size()), '\0');
    out.resize(decode(in.data(), in.size(), out.data()));
    return out;
}

} // namespace velmora::base64

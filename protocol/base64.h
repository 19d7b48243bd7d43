// Base64 as the relay carries it: plain C++, so that the agent and the server share one codec.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velmora::base64 {

/// Length of the encoding of `n` bytes: standard alphabet, '=' padding, no line breaks.
constexpr std::size_t encodedSize(std::size_t n)
{
    return (n + 2) / 3 * 4;
}

/// Writes the encoding of in[0, n) to `out`, which must hold encodedSize(n) bytes; returns the end.
/// The result is byte-identical to QByteArray::toBase64() with default options (RFC 4648, section
/// 4).
char *encode(const char *in, std::size_t n, char *out);
std::string encode(std::string_view in);

/// Upper bound of the bytes that decode() writes for `n` input characters.
constexpr std::size_t maxDecodedSize(std::size_t n)
{
    return n / 4 * 3 + 3;
}

/// Lenient decoding with exactly the rules of QByteArray::fromBase64() with default options:
/// characters outside the standard alphabet ('=', white space, '-' and '_' included) are skipped,
/// the remaining six-bit groups form one continuous bit stream, every full byte of it is kept and
/// bits left over at the end are dropped. Never fails. Writes to `out` (room for
/// maxDecodedSize(n)) and returns the number of bytes written. `out` may equal `in`. When
/// `onlyBase64Text` is given, it tells whether every input character was an alphabet character
/// or '='.
std::size_t decode(const char *in, std::size_t n, char *out, bool *onlyBase64Text = nullptr);
std::string decode(std::string_view in);

} // namespace velmora::base64

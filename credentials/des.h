#pragma once

// DES block encryption (FIPS PUB 46-3) for the VNC password file, with one process-wide key
// schedule. Not thread-safe: setKey writes the schedule that transform reads, so both must run on
// one thread (the GUI thread) and never interleave with another user of the schedule.
namespace credentials::des {

enum Direction { Encrypt, Decrypt };

// Sets the process-wide key schedule from 8 key bytes whose bits are taken least significant
// first, the order of VNC password files: the bit of value 2^(j-1) of key byte k is DES key bit
// 8k+j, so the parity bits DES ignores are the most significant bits of the bytes. A standard
// (most-significant-first) DES key gives the same schedule once each of its bytes is bit-reversed.
// Until the first call the schedule is that of the all-zero key, for encryption.
void setKey(const unsigned char key[8], Direction direction);

// Transforms one 8-byte block with the current schedule (16 rounds, initial and final
// permutations, no chaining). Block bytes keep the standard order: byte 0 holds DES bits 1 to 8,
// most significant first. `in` and `out` may be the same bytes.
void transform(const unsigned char in[8], unsigned char out[8]);

} // namespace credentials::des

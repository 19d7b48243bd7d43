// The server secret that authenticates session tokens, kept in a file so that tokens stay valid
// across restarts.
#pragma once

#include "server/core/securerandom.h"

#include <string>

namespace velmora::server {

/// What loadOrCreateSecret found or made.
struct SecretFile
{
    bool ok = false;
    /// The 32 secret bytes (when ok).
    std::string secret;
    /// True when this call created the file.
    bool created = false;
    /// Why the server must not start (when not ok): one English sentence naming the path.
    std::string error;
    /// A remark worth logging even though the secret is usable (e.g. loose permissions).
    std::string warning;
};

/// Reads the secret from `path`: one line of 64 hexadecimal digits. When the file does not
/// exist, creates it with permissions 0600 holding a new secret from `random`; the file appears
/// complete or not at all (written under a temporary name, then linked into place, which fails
/// rather than replace a file that appeared meanwhile). An existing file is never overwritten: an
/// unreadable or malformed one is an error.
SecretFile loadOrCreateSecret(const std::string &path, const RandomSource &random = cryptoRandom());

} // namespace velmora::server

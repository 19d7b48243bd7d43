#include "server/core/rfbhandshake.h"

#include <algorithm>

namespace velmora::server {

namespace {

constexpr std::size_t kVersionLength = 12;
constexpr std::size_t kChallengeLength = 16;
constexpr std::size_t kKeptReason = 256;

std::uint32_t readU32(std::string_view bytes)
{
    return (std::uint32_t(std::uint8_t(bytes[0])) << 24) |
           (std::uint32_t(std::uint8_t(bytes[1])) << 16) |
           (std::uint32_t(std::uint8_t(bytes[2])) << 8) | std::uint32_t(std::uint8_t(bytes[3]));
}

// "RFB xxx.yyy\n" with decimal digits; returns false for anything else.
bool parseVersion(std::string_view text, int &major, int &minor)
{
    if (text.size() != kVersionLength || text.substr(0, 4) != "RFB " || text[7] != '.' ||
        text[11] != '\n')
        return false;
    int parts[2] = {0, 0};
    for (int part = 0; part < 2; ++part) {
        for (std::size_t i = 0; i < 3; ++i) {
            const char c = text[4 + std::size_t(part) * 4 + i];
            if (c < '0' || c > '9')
                return false;
            parts[part] = parts[part] * 10 + (c - '0');
        }
    }
    major = parts[0];
    minor = parts[1];
    return true;
}

// Moves the first `count` bytes of `from` to the end of `to`.
void move(std::string &from, std::size_t count, std::string &to)
{
    to.append(from, 0, count);
    from.erase(0, count);
}

} // namespace

const char *describe(RfbHandshake::Refusal refusal)
{
    switch (refusal) {
    case RfbHandshake::Refusal::None:
        return "none";
    case RfbHandshake::Refusal::WrongPassword:
        return "wrong-password";
    case RfbHandshake::Refusal::ServerFailure:
        return "server-failure";
    case RfbHandshake::Refusal::NoVncAuth:
        return "no-vnc-auth";
    case RfbHandshake::Refusal::UnsupportedType:
        return "unsupported-type";
    case RfbHandshake::Refusal::UnsupportedVersion:
        return "unsupported-version";
    case RfbHandshake::Refusal::Malformed:
        return "malformed";
    case RfbHandshake::Refusal::Closed:
        return "closed";
    }
    return "none";
}

RfbHandshake::Forward RfbHandshake::fromServer(std::string_view bytes)
{
    if (current != State::Following)
        return {};
    server.append(bytes);
    return advance();
}

RfbHandshake::Forward RfbHandshake::fromClient(std::string_view bytes)
{
    if (current != State::Following)
        return {};
    client.append(bytes);
    return advance();
}

void RfbHandshake::closed()
{
    if (current == State::Following)
        refuse(Refusal::Closed);
}

void RfbHandshake::passThrough()
{
    if (current == State::Following && phase == Phase::ServerVersion && server.empty() &&
        client.empty()) {
        current = State::Succeeded;
        phase = Phase::Done;
    }
}

void RfbHandshake::refuse(Refusal refusal)
{
    current = State::Refused;
    why = refusal;
    phase = Phase::Done;
    server.clear();
    client.clear();
}

void RfbHandshake::succeed(Forward &out)
{
    current = State::Succeeded;
    phase = Phase::Done;
    // Whatever either side sent past the handshake belongs to the session proper.
    out.toSupporter += server;
    out.toServer += client;
    server.clear();
    client.clear();
}

RfbHandshake::Forward RfbHandshake::advance()
{
    Forward out;
    for (;;) {
        switch (phase) {
        case Phase::ServerVersion: {
            if (server.size() < kVersionLength)
                break;
            int major = 0;
            if (!parseVersion(std::string_view(server).substr(0, kVersionLength), major,
                              serverMinor) ||
                major != 3) {
                refuse(Refusal::Malformed);
                return out;
            }
            move(server, kVersionLength, out.toSupporter);
            phase = Phase::ClientVersion;
            continue;
        }
        case Phase::ClientVersion: {
            if (client.size() < kVersionLength)
                break;
            // Only the three versions whose handshakes differ are followed; servers read other
            // minor numbers in different ways, and a follower that guessed differently from the
            // server could be led past the authentication.
            const std::string_view version = std::string_view(client).substr(0, kVersionLength);
            int major = 0;
            int clientMinor = 0;
            const bool known = version == "RFB 003.003\n" || version == "RFB 003.007\n" ||
                               version == "RFB 003.008\n";
            if (!known || !parseVersion(version, major, clientMinor) || clientMinor > serverMinor) {
                refuse(Refusal::UnsupportedVersion);
                return out;
            }
            minor = clientMinor;
            move(client, kVersionLength, out.toServer);
            phase = minor == 3 ? Phase::ServerType33 : Phase::TypeCount;
            continue;
        }
        case Phase::ServerType33: {
            if (server.size() < 4)
                break;
            const std::uint32_t type = readU32(server);
            if (type == 0) {
                move(server, 4, out.toSupporter);
                afterReason = Refusal::ServerFailure;
                phase = Phase::ReasonLength;
                continue;
            }
            if (type != kVncAuth) {
                refuse(Refusal::NoVncAuth);
                return out;
            }
            move(server, 4, out.toSupporter);
            phase = Phase::Challenge;
            continue;
        }
        case Phase::TypeCount: {
            if (server.empty())
                break;
            typeCount = std::uint8_t(server[0]);
            if (typeCount == 0) {
                move(server, 1, out.toSupporter);
                afterReason = Refusal::ServerFailure;
                phase = Phase::ReasonLength;
                continue;
            }
            phase = Phase::TypeList;
            continue;
        }
        case Phase::TypeList: {
            if (server.size() < 1 + typeCount)
                break;
            const std::string_view types = std::string_view(server).substr(1, typeCount);
            if (types.find(char(kVncAuth)) == std::string_view::npos) {
                refuse(Refusal::NoVncAuth);
                return out;
            }
            server.erase(0, 1 + typeCount);
            out.toSupporter.push_back('\x01');
            out.toSupporter.push_back(char(kVncAuth));
            phase = Phase::ClientChoice;
            continue;
        }
        case Phase::ClientChoice: {
            if (client.empty())
                break;
            if (std::uint8_t(client[0]) != kVncAuth) {
                refuse(Refusal::UnsupportedType);
                return out;
            }
            move(client, 1, out.toServer);
            phase = Phase::Challenge;
            continue;
        }
        case Phase::Challenge:
            if (server.size() < kChallengeLength)
                break;
            move(server, kChallengeLength, out.toSupporter);
            phase = Phase::Response;
            continue;
        case Phase::Response:
            if (client.size() < kChallengeLength)
                break;
            move(client, kChallengeLength, out.toServer);
            responded = true;
            phase = Phase::Result;
            continue;
        case Phase::Result: {
            if (server.size() < 4)
                break;
            const std::uint32_t result = readU32(server);
            move(server, 4, out.toSupporter);
            if (result == 0) {
                succeed(out);
                return out;
            }
            if (minor == 8) {
                afterReason = Refusal::WrongPassword;
                phase = Phase::ReasonLength;
                continue;
            }
            refuse(Refusal::WrongPassword);
            return out;
        }
        case Phase::ReasonLength:
            if (server.size() < 4)
                break;
            reasonLeft = readU32(server);
            move(server, 4, out.toSupporter);
            phase = Phase::ReasonText;
            continue;
        case Phase::ReasonText: {
            // Streamed rather than held: its length is the server's to choose.
            const std::size_t take = std::min<std::size_t>(reasonLeft, server.size());
            if (reason.size() < kKeptReason)
                reason.append(server, 0, std::min(take, kKeptReason - reason.size()));
            move(server, take, out.toSupporter);
            reasonLeft -= std::uint32_t(take);
            if (reasonLeft == 0) {
                refuse(afterReason);
                return out;
            }
            break;
        }
        case Phase::Done:
            return out;
        }
        // The phase waits for more bytes.
        if (server.size() > kHoldLimit || client.size() > kHoldLimit)
            refuse(Refusal::Malformed);
        return out;
    }
}

} // namespace velmora::server

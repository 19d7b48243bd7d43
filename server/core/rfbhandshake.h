// Follows the security handshake of one relayed RFB connection (RFC 6143, versions 3.3, 3.7 and
// 3.8) on the bytes of both directions, so that the relay knows whether the supporter proved the
// session password. No sockets: fed any chunks, in the order they arrive on each side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::server {

class RfbHandshake
{
public:
    /// The RFB security type "VNC Authentication": challenge and response with the password.
    static constexpr std::uint8_t kVncAuth = 2;

    enum class State {
        /// Still in the handshake: every byte goes through fromServer or fromClient.
        Following,
        /// The VNC server accepted the VNC authentication: forward everything unchanged from
        /// now on, without calling the follower.
        Succeeded,
        /// The attempt failed; see refusal(). Nothing more is forwarded.
        Refused,
    };

    enum class Refusal {
        None,
        /// The VNC server's SecurityResult refused the password.
        WrongPassword,
        /// The VNC server refused the connection before authentication (no security types, or
        /// type 0), with a reason.
        ServerFailure,
        /// The VNC server offers no VNC authentication (or, in 3.3, chose another type).
        NoVncAuth,
        /// The client chose a security type other than VNC authentication.
        UnsupportedType,
        /// The client asked for a protocol version that is not exactly 3.3, 3.7 or 3.8, or one
        /// above the server's.
        UnsupportedVersion,
        /// A side sent what is not RFB, or more handshake bytes than a handshake holds.
        Malformed,
        /// A side closed (or the session ended) before the SecurityResult.
        Closed,
    };

    /// What to pass on after a call: bytes for the supporter and bytes for the VNC server (either
    /// may be empty). A call on one side can release bytes held from the other.
    struct Forward
    {
        std::string toSupporter;
        std::string toServer;
    };

    /// Bytes held while waiting for the other side, per side, above which the handshake counts
    /// as malformed (a real handshake holds a few hundred at most).
    static constexpr std::size_t kHoldLimit = 64 * 1024;

    /// Bytes from the VNC server, on their way to the supporter. The server's list of security
    /// types is passed on reduced to VNC authentication, so that the client cannot pick a type
    /// whose outcome the follower cannot see. Call only while Following.
    Forward fromServer(std::string_view bytes);
    /// Bytes from the supporter, on their way to the VNC server. Call only while Following.
    Forward fromClient(std::string_view bytes);
    /// The connection ended: refused as Closed unless an outcome is known already.
    void closed();
    /// Not following at all: Succeeded at once, before any byte (a relay told not to follow).
    void passThrough();

    State state() const { return current; }
    bool following() const { return current == State::Following; }
    bool succeeded() const { return current == State::Succeeded; }
    Refusal refusal() const { return why; }
    /// True once the supporter's whole password response has passed: from then on the attempt is
    /// a guess, whatever ends it.
    bool responseSent() const { return responded; }
    /// The minor version in use (3, 7 or 8) once the client's version was accepted, else 0.
    int minorVersion() const { return minor; }
    /// The failure reason the VNC server sent, as far as it arrived (at most 256 bytes kept).
    const std::string &serverReason() const { return reason; }

private:
    enum class Phase {
        ServerVersion,
        ClientVersion,
        ServerType33,
        TypeCount,
        TypeList,
        ClientChoice,
        Challenge,
        Response,
        Result,
        ReasonLength,
        ReasonText,
        Done,
    };

    Forward advance();
    void refuse(Refusal refusal);
    void succeed(Forward &out);

    State current = State::Following;
    Refusal why = Refusal::None;
    Phase phase = Phase::ServerVersion;
    std::string server;
    std::string client;
    int serverMinor = 0;
    int minor = 0;
    std::size_t typeCount = 0;
    /// What ends the attempt once a failure reason has been passed on.
    Refusal afterReason = Refusal::None;
    std::uint32_t reasonLeft = 0;
    std::string reason;
    bool responded = false;
};

/// A short English name for the log and the metrics: "wrong-password", "server-failure",
/// "no-vnc-auth", "unsupported-type", "unsupported-version", "malformed", "closed", "none".
const char *describe(RfbHandshake::Refusal refusal);

} // namespace velmora::server

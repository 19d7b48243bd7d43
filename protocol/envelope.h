// The JSON envelopes between the agent and the rendezvous server, as pure functions on bytes.
// Plain C++ so that the agent (through thin Qt adapters) and the server share them.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::envelope {

/// The one protocol version that both ends send and accept.
inline constexpr std::string_view kApiVersion = "110";

inline constexpr std::string_view kActionConnectionInfo = "connection_info";
inline constexpr std::string_view kActionStartSession = "start_session";
inline constexpr std::string_view kActionRfb = "rfb";

/// The part of a received message that counts: the bytes before the first zero byte (all of them
/// when there is none).
std::string_view untilZero(std::string_view message);

/// Parses `text` as exactly one JSON value, white space allowed around it. Returns nothing when it
/// is not JSON (invalid, empty, trailing characters). Never throws.
std::optional<nlohmann::json> parse(std::string_view text);

/// The member access rule: a member counts only when `value` is an object that has `name` and the
/// value of that member is a JSON string. Returns a pointer into `value`, or null.
const std::string *stringMember(const nlohmann::json &value, const char *name);

/// Fast path for the one shape that carries the stream. When `message` is byte for byte
///   {"action":"rfb","api_version":"110","payload":"P"}
/// with P made only of Base64 alphabet characters and '=', returns P; otherwise nothing, and the
/// caller takes the general path. For every message it accepts, the general path (untilZero,
/// parse, stringMember, payload until its first zero) yields the same payload text.
std::optional<std::string_view> matchCompactRfb(std::string_view message);

/// matchCompactRfb and base64::decode of the payload in one pass: for a message that
/// matchCompactRfb accepts, writes the decoded payload to `out` (room for
/// base64::maxDecodedSize(message.size())) and returns its length; otherwise returns nothing and
/// leaves unspecified bytes in `out`.
std::optional<std::size_t> decodeCompactRfb(std::string_view message, char *out);

/// Size of the compact "rfb" envelope that carries `frameSize` bytes with the version kApiVersion.
std::size_t rfbEnvelopeSize(std::size_t frameSize);

/// Writes the compact "rfb" envelope for the frame to `out` (room for rfbEnvelopeSize(n) bytes)
/// and returns the end. The bytes equal nlohmann's compact dump of the object
/// {"action":"rfb","api_version":kApiVersion,"payload":base64(frame)}.
char *writeRfbEnvelope(const char *frame, std::size_t n, char *out);

/// The same envelope for any version text: built directly when the text needs no escaping, by
/// nlohmann otherwise; byte-identical to nlohmann's compact dump (members in name order).
std::string rfbEnvelope(std::string_view apiVersion, std::string_view frame);

/// Server-side envelopes, compact and with members in name order.
std::string connectionInfoEnvelope(std::string_view id, std::string_view sessionToken);
std::string startSessionEnvelope();

/// Serialises an envelope object the way the protocol requires: compact, members in name order,
/// non-ASCII as raw UTF-8. Throws nlohmann::json::type_error on strings that are not UTF-8.
std::string serialise(const nlohmann::json &object);

} // namespace velmora::envelope

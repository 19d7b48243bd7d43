#include "protocol/envelope.h"

#include "protocol/base64.h"

#include <array>
#include <cstring>

namespace velmora::envelope {
namespace {

constexpr std::string_view kRfbPrefix = R"({"action":"rfb","api_version":"110","payload":")";
constexpr std::string_view kRfbSuffix = R"("})";

// The characters of Base64 text: the alphabet and '='. A table, because the relay checks every
// character of every payload (a chain of comparisons costs several times as much).
constexpr std::array<bool, 256> makeBase64TextTable()
{
    std::array<bool, 256> table{};
    for (int c = 0; c < 256; ++c) {
        table[std::size_t(c)] = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                (c >= '0' && c <= '9') || c == '+' || c == '/' || c == '=';
    }
    return table;
}

constexpr std::array<bool, 256> kBase64Text = makeBase64TextTable();

// Text that nlohmann writes unchanged between quotes.
bool needsNoEscape(std::string_view text)
{
    for (const unsigned char c : text) {
        if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\')
            return false;
    }
    return true;
}

} // namespace

std::string_view untilZero(std::string_view message)
{
    const auto zero = message.find('\0');
    return zero == std::string_view::npos ? message : message.substr(0, zero);
}

std::optional<nlohmann::json> parse(std::string_view text)
{
    nlohmann::json value =
        nlohmann::json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded())
        return std::nullopt;
    return value;
}

const std::string *stringMember(const nlohmann::json &value, const char *name)
{
    if (!value.is_object())
        return nullptr;
    const auto it = value.find(name);
    if (it == value.end() || !it->is_string())
        return nullptr;
    return it->get_ptr<const std::string *>();
}

namespace {

// The text between the compact envelope's fixed start and end, whatever it holds.
std::optional<std::string_view> betweenCompactRfbEnds(std::string_view message)
{
    if (message.size() < kRfbPrefix.size() + kRfbSuffix.size())
        return std::nullopt;
    if (message.compare(0, kRfbPrefix.size(), kRfbPrefix) != 0 ||
        message.compare(message.size() - kRfbSuffix.size(), kRfbSuffix.size(), kRfbSuffix) != 0)
        return std::nullopt;
    return message.substr(kRfbPrefix.size(),
                          message.size() - kRfbPrefix.size() - kRfbSuffix.size());
}

} // namespace

std::optional<std::string_view> matchCompactRfb(std::string_view message)
{
    const auto payload = betweenCompactRfbEnds(message);
    if (!payload)
        return std::nullopt;
    for (const unsigned char c : *payload) {
        if (!kBase64Text[c])
            return std::nullopt;
    }
    return payload;
}

std::optional<std::size_t> decodeCompactRfb(std::string_view message, char *out)
{
    const auto payload = betweenCompactRfbEnds(message);
    if (!payload)
        return std::nullopt;
    // The decoder notices any character outside the Base64 text on its way, so the payload is
    // read once instead of checked and then decoded.
    bool onlyBase64Text = false;
    const std::size_t n = base64::decode(payload->data(), payload->size(), out, &onlyBase64Text);
    if (!onlyBase64Text)
        return std::nullopt;
    return n;
}

std::size_t rfbEnvelopeSize(std::size_t frameSize)
{
    return kRfbPrefix.size() + base64::encodedSize(frameSize) + kRfbSuffix.size();
}

char *writeRfbEnvelope(const char *frame, std::size_t n, char *out)
{
    std::memcpy(out, kRfbPrefix.data(), kRfbPrefix.size());
    out = base64::encode(frame, n, out + kRfbPrefix.size());
    std::memcpy(out, kRfbSuffix.data(), kRfbSuffix.size());
    return out + kRfbSuffix.size();
}

std::string rfbEnvelope(std::string_view apiVersion, std::string_view frame)
{
    if (!needsNoEscape(apiVersion)) {
        return serialise({{"action", kActionRfb},
                          {"api_version", apiVersion},
                          {"payload", base64::encode(frame)}});
    }
    std::string out;
    out.reserve(rfbEnvelopeSize(frame.size()) + apiVersion.size());
    out.append(R"({"action":"rfb","api_version":")").append(apiVersion).append(R"(","payload":")");
    const std::size_t at = out.size();
    out.resize(at + base64::encodedSize(frame.size()));
    base64::encode(frame.data(), frame.size(), out.data() + at);
    out.append(kRfbSuffix);
    return out;
}

std::string connectionInfoEnvelope(std::string_view id, std::string_view sessionToken)
{
    return serialise({{"action", kActionConnectionInfo},
                      {"api_version", kApiVersion},
                      {"id", id},
                      {"session_token", sessionToken}});
}

std::string startSessionEnvelope()
{
    return serialise({{"action", kActionStartSession}, {"api_version", kApiVersion}});
}

std::string serialise(const nlohmann::json &object)
{
    return object.dump();
}

} // namespace velmora::envelope

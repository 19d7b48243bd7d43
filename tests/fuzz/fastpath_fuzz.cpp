// Differential fuzz target: the relay's short cut for its own envelopes (matchCompactRfb and the
// project's Base64 decoder, separately and in one pass) against the general path built from Qt and
// nlohmann alone (Qt's UTF-8 round trip, nlohmann's parser, the member rules,
// QByteArray::fromBase64). Whenever the short cut accepts a message, the general path must accept
// it too and yield the same bytes; and the project's decoder must equal Qt's on any text.
//
// Input: one selector byte, then bytes. Selector bit 0 set: the bytes are put between the
// compact envelope's head and tail, so that most inputs reach the short cut.

#include "protocol/base64.h"
#include "protocol/envelope.h"

#include <QByteArray>
#include <QString>

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>

namespace {

// The general path, written only with Qt and nlohmann.
std::optional<QByteArray> generalPath(const QByteArray &message)
{
    const int zero = message.indexOf('\0');
    const QByteArray text = QString::fromUtf8(zero < 0 ? message : message.left(zero)).toUtf8();
    const nlohmann::json value =
        nlohmann::json::parse(text.constBegin(), text.constEnd(), nullptr, false);
    if (value.is_discarded() || !value.is_object())
        return std::nullopt;
    auto member = [&value](const char *name) -> const std::string * {
        const auto it = value.find(name);
        return it != value.end() && it->is_string() ? it->get_ptr<const std::string *>() : nullptr;
    };
    const std::string *version = member("api_version");
    const std::string *action = member("action");
    const std::string *payload = member("payload");
    if (!version || *version != "110" || !action || *action != "rfb" || !payload)
        return std::nullopt;
    return QByteArray::fromBase64(QByteArray(payload->c_str())); // up to the first zero
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size > 1 << 24)
        return 0;
    QByteArray bytes(reinterpret_cast<const char *>(data) + 1, int(size - 1));
    if (data[0] & 1)
        bytes = R"({"action":"rfb","api_version":"110","payload":")" + bytes + R"("})";

    // The decoders agree on any text.
    const std::string ours =
        velmora::base64::decode(std::string_view(bytes.constData(), size_t(bytes.size())));
    if (QByteArray::fromStdString(ours) != QByteArray::fromBase64(bytes))
        std::abort();

    const std::string_view message(bytes.constData(), size_t(bytes.size()));
    const auto fast = velmora::envelope::matchCompactRfb(message);
    // The one-pass form takes exactly the messages that the check does, with the same bytes.
    std::string decoded(velmora::base64::maxDecodedSize(message.size()), '\0');
    const auto decodedSize = velmora::envelope::decodeCompactRfb(message, decoded.data());
    if (decodedSize.has_value() != fast.has_value())
        std::abort();
    if (!fast)
        return 0;
    decoded.resize(*decodedSize);
    const std::optional<QByteArray> general = generalPath(bytes);
    if (!general)
        std::abort(); // the short cut took a message that the general path refuses
    if (QByteArray::fromStdString(velmora::base64::decode(*fast)) != *general ||
        QByteArray::fromStdString(decoded) != *general)
        std::abort();
    return 0;
}

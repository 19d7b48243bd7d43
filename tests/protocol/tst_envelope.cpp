// The envelope helpers: the general path, the fast path and the builders, checked against each
// other and against nlohmann's own serialisation.
#include "protocol/base64.h"
#include "protocol/envelope.h"

#include <QRandomGenerator>
#include <QtTest>

using nlohmann::json;
namespace env = velmora::envelope;

namespace {

// The payload text that the general path takes from a message, or nothing.
std::optional<std::string> generalPayload(std::string_view message)
{
    const auto value = env::parse(env::untilZero(message));
    if (!value)
        return std::nullopt;
    const std::string *version = env::stringMember(*value, "api_version");
    const std::string *action = env::stringMember(*value, "action");
    const std::string *payload = env::stringMember(*value, "payload");
    if (!version || *version != env::kApiVersion || !action || *action != env::kActionRfb ||
        !payload)
        return std::nullopt;
    return std::string(env::untilZero(*payload));
}

} // namespace

class TestEnvelope : public QObject
{
    Q_OBJECT

private slots:
    void untilZero()
    {
        QCOMPARE(env::untilZero(std::string_view("abc\0def", 7)), std::string_view("abc"));
        QCOMPARE(env::untilZero("abc"), std::string_view("abc"));
        QCOMPARE(env::untilZero(std::string_view("\0", 1)), std::string_view());
    }

    void parseOneValueOnly_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("isJson");
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("spaces") << QByteArray("  \n ") << false;
        QTest::newRow("object with white space around") << QByteArray(" \r\n{\"a\":1}\t ") << true;
        QTest::newRow("trailing characters") << QByteArray("{} x") << false;
        QTest::newRow("two values") << QByteArray("{}{}") << false;
        QTest::newRow("array") << QByteArray("[1,2]") << true;
        QTest::newRow("bare string") << QByteArray("\"s\"") << true;
        QTest::newRow("number") << QByteArray("110") << true;
        QTest::newRow("truncated") << QByteArray("{\"a\":") << false;
        QTest::newRow("invalid utf-8 in string") << QByteArray("\"\xff\"") << false;
    }
    void parseOneValueOnly()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, isJson);
        QCOMPARE(env::parse(std::string_view(text.constData(), size_t(text.size()))).has_value(),
                 isJson);
    }

    void memberAccessRule()
    {
        const json object =
            json::parse(R"({"s":"x","n":110,"b":true,"z":null,"a":["x"],"o":{"s":"x"}})");
        QVERIFY(env::stringMember(object, "s"));
        QCOMPARE(*env::stringMember(object, "s"), std::string("x"));
        for (const char *name : {"n", "b", "z", "a", "o", "missing"})
            QVERIFY2(!env::stringMember(object, name), name);
        QVERIFY(!env::stringMember(json::parse(R"(["s"])"), "s"));
        QVERIFY(!env::stringMember(json::parse(R"("s")"), "s"));
    }

    // Whatever the fast path accepts, the general path reads the same payload from.
    void fastPathAgreesWithGeneralPath_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<bool>("fast");
        const QByteArray prefix(R"({"action":"rfb","api_version":"110","payload":")");
        QTest::newRow("compact") << prefix + "Zm9v\"}" << true;
        QTest::newRow("empty payload") << prefix + "\"}" << true;
        QTest::newRow("padding inside") << prefix + "QQ==QQ==\"}" << true;
        QTest::newRow("escape in payload") << prefix + "Zm\\/9v\"}" << false;
        QTest::newRow("space after colon")
            << QByteArray(R"({"action": "rfb","api_version":"110","payload":"Zm9v"})") << false;
        QTest::newRow("other member order")
            << QByteArray(R"({"api_version":"110","action":"rfb","payload":"Zm9v"})") << false;
        QTest::newRow("trailing zero byte") << prefix + QByteArray("Zm9v\"}\0junk", 11) << false;
        QTest::newRow("extra member")
            << QByteArray(R"({"action":"rfb","api_version":"110","payload":"Zm9v","x":1})")
            << false;
        QTest::newRow("wrong version")
            << QByteArray(R"({"action":"rfb","api_version":"111","payload":"Zm9v"})") << false;
        QTest::newRow("trailing space") << prefix + "Zm9v\"} " << false;
        QTest::newRow("truncated") << prefix + "Zm9v" << false;
    }
    void fastPathAgreesWithGeneralPath()
    {
        QFETCH(QByteArray, message);
        QFETCH(bool, fast);
        const std::string_view bytes(message.constData(), size_t(message.size()));
        const auto quick = env::matchCompactRfb(bytes);
        QCOMPARE(quick.has_value(), fast);
        std::string decoded(velmora::base64::maxDecodedSize(bytes.size()), '\0');
        const auto decodedSize = env::decodeCompactRfb(bytes, decoded.data());
        QCOMPARE(decodedSize.has_value(), fast);
        if (quick) {
            const auto general = generalPayload(bytes);
            QVERIFY(general.has_value());
            QCOMPARE(std::string(*quick), *general);
            decoded.resize(*decodedSize);
            QCOMPARE(decoded, velmora::base64::decode(*general));
        }
    }

    // Every byte value inside the payload: only the Base64 alphabet and '=' keep the fast path.
    void fastPathAlphabet()
    {
        const QByteArray prefix(R"({"action":"rfb","api_version":"110","payload":"Zm)");
        for (int c = 0; c < 256; ++c) {
            const QByteArray message = prefix + char(c) + "9v\"}";
            const bool text = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                              (c >= '0' && c <= '9') || c == '+' || c == '/' || c == '=';
            const std::string_view bytes(message.constData(), size_t(message.size()));
            QVERIFY2(env::matchCompactRfb(bytes).has_value() == text,
                     qPrintable(QString::number(c)));
            char out[16];
            QVERIFY2(env::decodeCompactRfb(bytes, out).has_value() == text,
                     qPrintable(QString::number(c)));
        }
    }

    void builtEnvelopeEqualsNlohmannDump()
    {
        QRandomGenerator rng(110);
        for (int n : {0, 1, 2, 3, 4, 100, 65536}) {
            std::string frame(size_t(n), '\0');
            for (char &c : frame)
                c = char(rng.bounded(256));
            const std::string expected = json{
                {"payload", velmora::base64::encode(frame)},
                {"api_version", "110"},
                {"action", "rfb"}}.dump();
            QCOMPARE(env::rfbEnvelope(env::kApiVersion, frame), expected);
            std::string direct(env::rfbEnvelopeSize(frame.size()), '\0');
            char *end = env::writeRfbEnvelope(frame.data(), frame.size(), direct.data());
            QCOMPARE(size_t(end - direct.data()), direct.size());
            QCOMPARE(direct, expected);
            // And the fast path reads back what was written.
            const auto payload = env::matchCompactRfb(direct);
            QVERIFY(payload.has_value());
            QCOMPARE(velmora::base64::decode(*payload), frame);
        }
    }

    void versionNeedingEscapesTakesNlohmann()
    {
        for (std::string version : {std::string("1\"0"), std::string("a\\b"), std::string("\x01"),
                                    std::string("\xc3\xa9")}) {
            const std::string expected =
                json{{"action", "rfb"}, {"api_version", version}, {"payload", "Zm9v"}}.dump();
            QCOMPARE(env::rfbEnvelope(version, "foo"), expected);
        }
    }

    void serverEnvelopes()
    {
        QCOMPARE(
            env::connectionInfoEnvelope("123456789", "tok"),
            std::string(
                R"({"action":"connection_info","api_version":"110","id":"123456789","session_token":"tok"})"));
        QCOMPARE(env::startSessionEnvelope(),
                 std::string(R"({"action":"start_session","api_version":"110"})"));
    }
};

QTEST_GUILESS_MAIN(TestEnvelope)
#include "tst_envelope.moc"

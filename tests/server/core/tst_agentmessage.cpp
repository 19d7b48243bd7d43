// What the server takes from an agent's message: the fast and the general path agree, and every
// kind of bad message is named, never thrown.
#include "server/core/agentmessage.h"

#include <QtTest>

using namespace velmora::server;
using Kind = AgentMessage::Kind;

Q_DECLARE_METATYPE(AgentMessage::Kind)

class TestAgentMessage : public QObject
{
    Q_OBJECT

private slots:
    void decode_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<bool>("binary");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray rfb = "RFB 003.008\n";
        const QByteArray b64 = rfb.toBase64();
        QTest::newRow("compact, as agents send it")
            << "{\"action\":\"rfb\",\"api_version\":\"110\",\"payload\":\"" + b64 + "\"}" << true
            << Kind::Rfb << rfb;
        QTest::newRow("members in another order")
            << "{\"payload\":\"" + b64 + "\",\"api_version\":\"110\",\"action\":\"rfb\"}" << true
            << Kind::Rfb << rfb;
        QTest::newRow("white space and extra members")
            << " {\"x\":12, \"action\" : \"rfb\",\n\"api_version\":\"110\",\"payload\":\"" +
                   b64 + "\"} "
            << true << Kind::Rfb << rfb;
        QTest::newRow("bytes after a zero byte are ignored")
            << QByteArray("{\"action\":\"rfb\",\"api_version\":\"110\",\"payload\":\"" + b64 +
                          "\"}") +
                   QByteArray("\0garbage", 8)
            << true << Kind::Rfb << rfb;
        QTest::newRow("payload ends at its first zero character")
            << QByteArray(
                   "{\"action\":\"rfb\",\"api_version\":\"110\",\"payload\":\"QUJD\\u0000REVG\"}")
            << true << Kind::Rfb << QByteArray("ABC");
        QTest::newRow("empty payload")
            << QByteArray("{\"action\":\"rfb\",\"api_version\":\"110\",\"payload\":\"\"}") << true
            << Kind::Rfb << QByteArray();
        QTest::newRow("lenient Base64")
            << QByteArray("{\"action\":\"rfb\",\"api_version\":\"110\",\"payload\":\"QU JD\\nRA\"}")
            << true << Kind::Rfb << QByteArray("ABCD");
        QTest::newRow("text frame")
            << "{\"action\":\"rfb\",\"api_version\":\"110\",\"payload\":\"" + b64 + "\"}" << false
            << Kind::TextFrame << QByteArray();
        QTest::newRow("not JSON") << QByteArray("hello") << true << Kind::NotJson << QByteArray();
        QTest::newRow("empty") << QByteArray() << true << Kind::NotJson << QByteArray();
        QTest::newRow("two values") << QByteArray("{}{}") << true << Kind::NotJson << QByteArray();
        QTest::newRow("invalid UTF-8")
            << QByteArray("{\"action\":\"\xff\"}") << true << Kind::NotJson << QByteArray();
        QTest::newRow("array") << QByteArray("[1]") << true << Kind::WrongVersion << QByteArray();
        QTest::newRow("version missing") << QByteArray("{\"action\":\"rfb\",\"payload\":\"\"}")
                                         << true << Kind::WrongVersion << QByteArray();
        QTest::newRow("version as a number")
            << QByteArray("{\"action\":\"rfb\",\"api_version\":110,\"payload\":\"\"}") << true
            << Kind::WrongVersion << QByteArray();
        QTest::newRow("version with a space")
            << QByteArray("{\"action\":\"rfb\",\"api_version\":\"110 \",\"payload\":\"\"}") << true
            << Kind::WrongVersion << QByteArray();
        QTest::newRow("action missing") << QByteArray("{\"api_version\":\"110\",\"payload\":\"\"}")
                                        << true << Kind::NoAction << QByteArray();
        QTest::newRow("action null") << QByteArray("{\"action\":null,\"api_version\":\"110\"}")
                                     << true << Kind::NoAction << QByteArray();
        QTest::newRow("other action")
            << QByteArray("{\"action\":\"start_session\",\"api_version\":\"110\"}") << true
            << Kind::OtherAction << QByteArray();
        QTest::newRow("payload missing")
            << QByteArray("{\"action\":\"rfb\",\"api_version\":\"110\"}") << true << Kind::NoPayload
            << QByteArray();
        // The envelope is one flat object; anything nested deeper is refused before a parse.
        QTest::newRow("payload as an object")
            << QByteArray("{\"action\":\"rfb\",\"api_version\":\"110\",\"payload\":{}}") << true
            << Kind::TooDeep << QByteArray();
        QTest::newRow("nested arrays") << QByteArray("[[1]]") << true << Kind::TooDeep
                                       << QByteArray();
        QTest::newRow("an array member")
            << QByteArray("{\"x\":[1,2],\"action\":\"rfb\",\"api_version\":\"110\",\"payload\":\"\"}")
            << true << Kind::TooDeep << QByteArray();
        QTest::newRow("a megabyte of brackets") << QByteArray(1 << 20, '[') << true
                                                << Kind::TooLarge << QByteArray();
        QTest::newRow("64 KiB of brackets")
            << QByteArray(64 * 1024, '[') << true << Kind::TooDeep << QByteArray();
        QTest::newRow("brackets inside strings count for nothing")
            << QByteArray("{\"action\":\"[[{\\\"[\",\"api_version\":\"110\"}") << true
            << Kind::OtherAction << QByteArray();
        QTest::newRow("non-compact envelope above the general path's limit")
            << QByteArray("{ \"action\":\"rfb\",\"api_version\":\"110\",\"payload\":\"") +
                   QByteArray(64 * 1024, 'A') + "\"}"
            << true << Kind::TooLarge << QByteArray();
        QTest::newRow("compact envelope above the general path's limit")
            << QByteArray("{\"action\":\"rfb\",\"api_version\":\"110\",\"payload\":\"") +
                   QByteArray(96 * 1024, 'A') + "\"}"
            << true << Kind::Rfb << QByteArray(72 * 1024, '\0');
    }
    void decode()
    {
        QFETCH(QByteArray, message);
        QFETCH(bool, binary);
        QFETCH(Kind, kind);
        QFETCH(QByteArray, bytes);
        const AgentMessage decoded =
            decodeAgentMessage(std::string_view(message.constData(), message.size()), binary);
        QCOMPARE(decoded.kind, kind);
        QCOMPARE(QByteArray::fromStdString(decoded.bytes), bytes);
    }

    void otherActionIsNamed()
    {
        const AgentMessage decoded =
            decodeAgentMessage("{\"action\":\"hello\",\"api_version\":\"110\"}", true);
        QCOMPARE(QString::fromStdString(decoded.action), QString("hello"));
        QCOMPARE(QString::fromStdString(std::string(describe(decoded.kind))),
                 QString("unexpected action"));
    }

    void randomBytesNeverThrow()
    {
        QRandomGenerator random(42);
        for (int i = 0; i < 2000; ++i) {
            QByteArray message(int(random.bounded(200)), '\0');
            for (char &c : message)
                c = char(random.bounded(256));
            if (i % 2)
                message.prepend("{\"action\":\"rfb\",\"api_version\":\"110\",\"payload\":\"");
            const AgentMessage decoded =
                decodeAgentMessage(std::string_view(message.constData(), message.size()), true);
            // Random bytes make no envelope; the point is that none of them throws or crashes.
            QVERIFY(decoded.kind != Kind::Rfb || message.endsWith("\"}"));
        }
    }
};

QTEST_GUILESS_MAIN(TestAgentMessage)
#include "tst_agentmessage.moc"

// A node's signature on a supporter it carries to another node: it passes only for the same ID,
// address and secret, only within seconds of its time, each one holds a nonce of its own, and it
// is the documented HMAC-SHA256 (checked with Qt's independent implementation).
#include "server/cluster/nodeauth.h"
#include "server/core/sessiontokens.h"

#include <QMessageAuthenticationCode>
#include <QtTest>

using namespace velmora::server;

namespace {
const std::string kSecret = "0123456789abcdef0123456789abcdef";
constexpr std::int64_t kNow = 1796000000;

// Bytes 0x00, 0x01, ... for a nonce that the test can write down.
RandomSource counting()
{
    return [](unsigned char *buffer, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i)
            buffer[i] = static_cast<unsigned char>(i);
    };
}
} // namespace

class TestNodeAuth : public QObject
{
    Q_OBJECT

private slots:
    void signatureIsTheDocumentedMac()
    {
        const std::string signature =
            NodeAuth(kSecret, counting()).sign("123456789", "10.0.0.7", kNow);
        const QByteArray nonce = "000102030405060708090a0b0c0d0e0f";
        const QByteArray message = "velmora node forward v2|9:123456789|8:10.0.0.7|" +
                                   QByteArray::number(qint64(kNow)) + "|" + nonce;
        const QByteArray expected =
            QMessageAuthenticationCode::hash(message, QByteArray::fromStdString(kSecret),
                                             QCryptographicHash::Sha256)
                .toHex();
        QCOMPARE(QByteArray::fromStdString(signature),
                 QByteArray::number(qint64(kNow)) + ":" + nonce + ":" + expected);
        QCOMPARE(QByteArray::fromStdString(std::string(NodeAuth::nonceOf(signature))), nonce);
    }

    void everySignatureHasItsOwnNonce()
    {
        const NodeAuth auth(kSecret);
        const std::string a = auth.sign("123456789", "10.0.0.7", kNow);
        const std::string b = auth.sign("123456789", "10.0.0.7", kNow);
        QVERIFY(NodeAuth::nonceOf(a) != NodeAuth::nonceOf(b));
        QVERIFY(auth.verify("123456789", "10.0.0.7", a, kNow));
        QVERIFY(auth.verify("123456789", "10.0.0.7", b, kNow));
    }

    void verify_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("client");
        QTest::addColumn<QString>("secret");
        QTest::addColumn<qint64>("checkedAt");
        QTest::addColumn<bool>("valid");
        const QString id = "123456789";
        const QString client = "10.0.0.7";
        const QString secret = QString::fromStdString(kSecret);
        QTest::newRow("same") << id << client << secret << qint64(kNow) << true;
        QTest::newRow("5 s later") << id << client << secret << qint64(kNow + 5) << true;
        QTest::newRow("5 s earlier") << id << client << secret << qint64(kNow - 5) << true;
        QTest::newRow("too late") << id << client << secret << qint64(kNow + 6) << false;
        QTest::newRow("from the future") << id << client << secret << qint64(kNow - 6) << false;
        QTest::newRow("a minute later") << id << client << secret << qint64(kNow + 60) << false;
        QTest::newRow("other id") << "123456788" << client << secret << qint64(kNow) << false;
        QTest::newRow("other client") << id << "10.0.0.8" << secret << qint64(kNow) << false;
        // The lengths in the message keep the fields apart.
        QTest::newRow("fields shifted") << "12345678"
                                        << "910.0.0.7" << secret << qint64(kNow) << false;
        QTest::newRow("other secret")
            << id << client << "fedcba9876543210fedcba9876543210" << qint64(kNow) << false;
    }

    void verify()
    {
        QFETCH(QString, id);
        QFETCH(QString, client);
        QFETCH(QString, secret);
        QFETCH(qint64, checkedAt);
        QFETCH(bool, valid);
        const std::string signature = NodeAuth(kSecret).sign("123456789", "10.0.0.7", kNow);
        QCOMPARE(NodeAuth(secret.toStdString())
                     .verify(id.toStdString(), client.toStdString(), signature, checkedAt),
                 valid);
    }

    void malformedSignaturesFail_data()
    {
        QTest::addColumn<QString>("signature");
        const QString signature = QString::fromStdString(
            NodeAuth(kSecret, counting()).sign("123456789", "10.0.0.7", kNow));
        const QString now = QString::number(kNow);
        // The nonce, a colon and the MAC.
        const QString rest = signature.mid(11);
        const QString nonce = rest.left(32);
        const QString mac = rest.mid(33);
        QTest::newRow("empty") << QString();
        QTest::newRow("no time") << ":" + rest;
        QTest::newRow("no colon") << now + rest;
        QTest::newRow("time not a number") << "17960000x0:" + rest;
        QTest::newRow("signed time") << "+" + now + ":" + rest;
        QTest::newRow("no nonce") << now + ":" + mac;
        QTest::newRow("other nonce") << now + ":" + nonce.left(31) + "e:" + mac;
        QTest::newRow("short nonce") << now + ":" + nonce.left(31) + ":" + mac;
        QTest::newRow("upper-case nonce") << now + ":" + nonce.toUpper() + ":" + mac;
        QTest::newRow("upper-case MAC") << now + ":" + nonce + ":" + mac.toUpper();
        QTest::newRow("short MAC") << now + ":" + nonce + ":" + mac.left(63);
        QTest::newRow("trailing field") << signature + ":1";
        QTest::newRow("huge time") << "99999999999999999999999:" + rest;
    }

    void malformedSignaturesFail()
    {
        QFETCH(QString, signature);
        QVERIFY(!NodeAuth(kSecret).verify("123456789", "10.0.0.7", signature.toStdString(), kNow));
    }

    void tokenFingerprintTellsTokensApart()
    {
        const SessionTokens tokens(kSecret);
        const std::string a = tokens.issue("123456789");
        const std::string b = tokens.issue("123456789");
        QCOMPARE(SessionTokens::fingerprint(a).size(), std::size_t(32));
        QVERIFY(SessionTokens::fingerprint(a) != SessionTokens::fingerprint(b));
        // Nothing of the MAC, which is what makes a token worth stealing.
        QVERIFY(a.find(SessionTokens::fingerprint(a)) == 10);
    }
};

QTEST_GUILESS_MAIN(TestNodeAuth)
#include "tst_nodeauth.moc"

// Session tokens: a token gives back its ID; any change, another secret or another shape gives
// nothing; the MAC is the documented HMAC-SHA256, checked with Qt's independent implementation.
#include "server/core/sessiontokens.h"

#include <QMessageAuthenticationCode>
#include <QtTest>

using namespace velmora::server;

namespace {
const std::string kSecret = "0123456789abcdef0123456789abcdef";
const std::string kOtherSecret = "fedcba9876543210fedcba9876543210";
} // namespace

class TestSessionTokens : public QObject
{
    Q_OBJECT

private slots:
    void tokenGivesBackItsId()
    {
        const SessionTokens tokens(kSecret);
        const std::string token = tokens.issue("123456789");
        QCOMPARE(token.size(), SessionTokens::kTokenSize);
        QVERIFY(QString::fromStdString(token).startsWith("123456789-"));
        const auto id = tokens.verify(token);
        QVERIFY(id);
        QCOMPARE(QString::fromStdString(*id), QString("123456789"));
        // A new instance with the same secret (a restarted server) accepts it too.
        QVERIFY(SessionTokens(kSecret).verify(token));
    }

    void everyTokenIsDifferent()
    {
        const SessionTokens tokens(kSecret);
        QSet<QString> seen;
        for (int i = 0; i < 1000; ++i)
            seen.insert(QString::fromStdString(tokens.issue("123456789")));
        QCOMPARE(seen.size(), 1000);
    }

    void macIsHmacSha256OfIdAndNonce()
    {
        const SessionTokens tokens(kSecret);
        const QString token = QString::fromStdString(tokens.issue("987654321"));
        const QStringList parts = token.split('-');
        QCOMPARE(parts.size(), 3);
        QCOMPARE(parts[1].size(), 32);
        const QByteArray expected =
            QMessageAuthenticationCode::hash(
                "velmora session token v1|987654321|" + parts[1].toLatin1(),
                QByteArray::fromStdString(kSecret), QCryptographicHash::Sha256)
                .toHex();
        QCOMPARE(parts[2].toLatin1(), expected);
    }

    void anyChangedCharacterIsRefused()
    {
        const SessionTokens tokens(kSecret);
        const std::string token = tokens.issue("555555555");
        for (std::size_t i = 0; i < token.size(); ++i) {
            std::string altered = token;
            altered[i] = altered[i] == '1' ? '2' : '1';
            if (altered == token)
                continue;
            QVERIFY2(!tokens.verify(altered), qPrintable(QString("position %1").arg(i)));
        }
    }

    void foreignSecretIsRefused()
    {
        const std::string token = SessionTokens(kOtherSecret).issue("123456789");
        QVERIFY(!SessionTokens(kSecret).verify(token));
    }

    void malformedTokensAreRefused_data()
    {
        const std::string good = SessionTokens(kSecret).issue("123456789");
        QTest::addColumn<QByteArray>("token");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("truncated") << QByteArray::fromStdString(good.substr(0, good.size() - 1));
        QTest::newRow("extended") << QByteArray::fromStdString(good + "0");
        QTest::newRow("upper-case MAC") << QByteArray::fromStdString(good.substr(0, 43)) +
                                               QByteArray::fromStdString(good.substr(43)).toUpper();
        QTest::newRow("only the ID") << QByteArray("123456789");
        QTest::newRow("garbage of the right length") << QByteArray(int(good.size()), 'x');
        QByteArray zeroId = QByteArray::fromStdString(good);
        zeroId[0] = '0';
        QTest::newRow("ID with a leading zero") << zeroId;
        QByteArray swapped = QByteArray::fromStdString(good);
        swapped[9] = '.';
        QTest::newRow("other separator") << swapped;
    }
    void malformedTokensAreRefused()
    {
        QFETCH(QByteArray, token);
        QVERIFY(!SessionTokens(kSecret).verify(token.toStdString()));
    }

    void emptySecretIsRejected()
    {
        QVERIFY_EXCEPTION_THROWN(SessionTokens(std::string()), std::invalid_argument);
    }
};

QTEST_GUILESS_MAIN(TestSessionTokens)
#include "tst_sessiontokens.moc"

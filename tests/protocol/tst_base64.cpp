// The shared Base64 codec against Qt's own, which the agent's protocol is defined by.
#include "protocol/base64.h"

#include <QByteArray>
#include <QRandomGenerator>
#include <QtTest>

#include <string>

namespace {

QByteArray ours(const QByteArray &text)
{
    const std::string out =
        velmora::base64::decode(std::string_view(text.constData(), size_t(text.size())));
    return QByteArray(out.data(), int(out.size()));
}

} // namespace

class TestBase64 : public QObject
{
    Q_OBJECT

private slots:
    // RFC 4648, section 10 test vectors.
    void encodeRfc4648_data()
    {
        QTest::addColumn<QByteArray>("plain");
        QTest::addColumn<QByteArray>("encoded");
        QTest::newRow("empty") << QByteArray() << QByteArray();
        QTest::newRow("f") << QByteArray("f") << QByteArray("Zg==");
        QTest::newRow("fo") << QByteArray("fo") << QByteArray("Zm8=");
        QTest::newRow("foo") << QByteArray("foo") << QByteArray("Zm9v");
        QTest::newRow("foob") << QByteArray("foob") << QByteArray("Zm9vYg==");
        QTest::newRow("fooba") << QByteArray("fooba") << QByteArray("Zm9vYmE=");
        QTest::newRow("foobar") << QByteArray("foobar") << QByteArray("Zm9vYmFy");
        QTest::newRow("high bytes") << QByteArray("\xfb\xff\xfe", 3) << QByteArray("+//+");
    }
    void encodeRfc4648()
    {
        QFETCH(QByteArray, plain);
        QFETCH(QByteArray, encoded);
        QCOMPARE(QByteArray::fromStdString(velmora::base64::encode(plain.toStdString())), encoded);
        QCOMPARE(ours(encoded), plain);
    }

    void encodeMatchesQtOnEveryLength()
    {
        QRandomGenerator rng(4648);
        for (int n = 0; n < 300; ++n) {
            QByteArray bytes(n, Qt::Uninitialized);
            for (char &c : bytes)
                c = char(rng.bounded(256));
            const std::string enc = velmora::base64::encode(bytes.toStdString());
            QCOMPARE(QByteArray::fromStdString(enc), bytes.toBase64());
            QCOMPARE(enc.size(), velmora::base64::encodedSize(size_t(n)));
        }
    }

    // All 2^24 groups of three bytes, one after another: every entry of the encoder's table,
    // against Qt, and back through the decoder.
    void everyGroupOfThreeBytes()
    {
        QByteArray bytes(3 << 24, Qt::Uninitialized);
        for (quint32 g = 0; g < (1u << 24); ++g) {
            bytes[int(3 * g)] = char(g >> 16);
            bytes[int(3 * g + 1)] = char(g >> 8);
            bytes[int(3 * g + 2)] = char(g);
        }
        QByteArray enc(int(velmora::base64::encodedSize(size_t(bytes.size()))), Qt::Uninitialized);
        velmora::base64::encode(bytes.constData(), size_t(bytes.size()), enc.data());
        QVERIFY(enc == bytes.toBase64());
        QVERIFY(ours(enc) == bytes);
    }

    // The lenient rules of QByteArray::fromBase64 with default options, case by case.
    void decodeLikeQt_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("padding only") << QByteArray("====");
        QTest::newRow("one char") << QByteArray("Q");
        QTest::newRow("two chars") << QByteArray("QQ");
        QTest::newRow("three chars") << QByteArray("QUI");
        QTest::newRow("padding in the middle") << QByteArray("QQ==QUI=Zm9v");
        QTest::newRow("white space and line breaks") << QByteArray(" Zm9v\r\nYmFy\t");
        QTest::newRow("url-safe characters skipped") << QByteArray("Zm-9_vYg");
        QTest::newRow("high and control bytes skipped") << QByteArray("Zm\x80\x01\xffv", 6);
        QTest::newRow("zero byte skipped") << QByteArray("Zm9\0vYg==", 9);
        QTest::newRow("trailing bits dropped") << QByteArray("Zm9vY");
        QTest::newRow("garbage") << QByteArray("!!!@@@###");
        QTest::newRow("unaligned after skip") << QByteArray("A=BCDEFGHIJKLMNOPQRSTUVWXYZ");
    }
    void decodeLikeQt()
    {
        QFETCH(QByteArray, text);
        QCOMPARE(ours(text), QByteArray::fromBase64(text));
    }

    void decodeRandomTextLikeQt()
    {
        QRandomGenerator rng(1995);
        const QByteArray alphabet(
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
        for (int round = 0; round < 3000; ++round) {
            const int n = int(rng.bounded(200));
            QByteArray text(n, Qt::Uninitialized);
            // Mostly alphabet, with a sprinkling of everything else, so both paths are taken.
            for (char &c : text)
                c = rng.bounded(10) ? alphabet.at(int(rng.bounded(64))) : char(rng.bounded(256));
            QCOMPARE(ours(text), QByteArray::fromBase64(text));
        }
    }

    void reportsTextOutsideTheAlphabet_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("onlyBase64Text");
        QTest::newRow("empty") << QByteArray() << true;
        QTest::newRow("padded") << QByteArray("Zm8=") << true;
        QTest::newRow("padding inside") << QByteArray("QQ==QQ==") << true;
        QTest::newRow("space") << QByteArray("Zm9v YmFy") << false;
        QTest::newRow("url-safe minus") << QByteArray("Zm-9") << false;
        QTest::newRow("zero byte at the end") << QByteArray("Zm9v\0", 5) << false;
        QTest::newRow("high byte inside a group") << QByteArray("Zm\xc3v", 4) << false;
    }
    void reportsTextOutsideTheAlphabet()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, onlyBase64Text);
        std::string out(velmora::base64::maxDecodedSize(size_t(text.size())), '\0');
        bool clean = !onlyBase64Text;
        const std::size_t n =
            velmora::base64::decode(text.constData(), size_t(text.size()), out.data(), &clean);
        QCOMPARE(clean, onlyBase64Text);
        QCOMPARE(QByteArray(out.data(), int(n)), QByteArray::fromBase64(text));
    }

    void decodeInPlace()
    {
        QByteArray text = QByteArray("hello, relay").toBase64();
        const std::size_t n =
            velmora::base64::decode(text.constData(), size_t(text.size()), text.data());
        QCOMPARE(text.left(int(n)), QByteArray("hello, relay"));
    }
};

QTEST_GUILESS_MAIN(TestBase64)
#include "tst_base64.moc"

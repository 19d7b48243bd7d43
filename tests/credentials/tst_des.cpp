// The DES block step against published known answers. The vectors use standard keys (most
// significant bit first); each key byte is bit-reversed before it goes to des::setKey, which takes
// its key bits least significant first.
#include "credentials/des.h"

#include <QByteArray>
#include <QtTest>

namespace {

QByteArray reversedKeyBytes(const QByteArray &standardKey)
{
    QByteArray out(standardKey.size(), '\0');
    for (int i = 0; i < standardKey.size(); ++i) {
        const auto byte = static_cast<unsigned char>(standardKey[i]);
        unsigned char reversed = 0;
        for (int bit = 0; bit < 8; ++bit)
            reversed = static_cast<unsigned char>((reversed << 1) | ((byte >> bit) & 1u));
        out[i] = static_cast<char>(reversed);
    }
    return out;
}

// One block under a key given in the order des::setKey takes.
QByteArray run(const QByteArray &key, const QByteArray &block,
               credentials::des::Direction direction)
{
    Q_ASSERT(key.size() == 8 && block.size() == 8);
    credentials::des::setKey(reinterpret_cast<const unsigned char *>(key.constData()), direction);
    QByteArray out(8, '\0');
    credentials::des::transform(reinterpret_cast<const unsigned char *>(block.constData()),
                                reinterpret_cast<unsigned char *>(out.data()));
    return out;
}

QByteArray encryptStandard(const QByteArray &key, const QByteArray &block)
{
    return run(reversedKeyBytes(key), block, credentials::des::Encrypt);
}

QByteArray decryptStandard(const QByteArray &key, const QByteArray &block)
{
    return run(reversedKeyBytes(key), block, credentials::des::Decrypt);
}

} // namespace

class TestDes : public QObject
{
    Q_OBJECT

private slots:
    void knownAnswers_data()
    {
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QByteArray>("plain");
        QTest::addColumn<QByteArray>("cipher");
        const auto row = [](const char *name, const char *key, const char *plain,
                            const char *cipher) {
            QTest::newRow(name) << QByteArray::fromHex(key) << QByteArray::fromHex(plain)
                                << QByteArray::fromHex(cipher);
        };
        // FIPS PUB 81, Appendix B, Table B1 (ECB mode): the three blocks of
        // "Now is the time for all " under key 0123456789abcdef.
        row("FIPS 81 B1 block 1", "0123456789abcdef", "4e6f772069732074", "3fa40e8a984d4815");
        row("FIPS 81 B1 block 2", "0123456789abcdef", "68652074696d6520", "6a271787ab8883f9");
        row("FIPS 81 B1 block 3", "0123456789abcdef", "666f7220616c6c20", "893d51ec4b563b53");

        // NIST SP 800-17, Appendix A: the sample round outputs' key and result.
        row("SP 800-17 A", "10316e028c8f3b4a", "0000000000000000", "82dcbafbdeab6602");

        // NIST SP 800-17, Table B.1 (variable plaintext, key 0101010101010101): block bits 1,
        // 33 and 64.
        const char *oddParityZero = "0101010101010101";
        row("SP 800-17 B.1 #0", oddParityZero, "8000000000000000", "95f8a5e5dd31d900");
        row("SP 800-17 B.1 #32", oddParityZero, "0000000080000000", "e943d7568aec0c5c");
        row("SP 800-17 B.1 #63", oddParityZero, "0000000000000001", "166b40b44aba4bd6");

        // NIST SP 800-17, Table B.2 (variable key, plaintext zero): single key bits from the first,
        // second, fifth and last key bytes.
        const char *zero = "0000000000000000";
        row("SP 800-17 B.2 #0", "8001010101010101", zero, "95a8d72813daa94d");
        row("SP 800-17 B.2 #10", "0110010101010101", zero, "dfdd3cc64dae1642");
        row("SP 800-17 B.2 #30", "0101010120010101", zero, "b7265f7f447ac6f3");
        row("SP 800-17 B.2 #55", "0101010101010102", zero, "869efd7f9f265a09");

        // NIST SP 800-17, Table B.4 (substitution table test): together these reach every
        // entry of the eight S-boxes.
        row("SP 800-17 B.4 #0", "7ca110454a1a6e57", "01a1d6d039776742", "690f5b0d9a26939b");
        row("SP 800-17 B.4 #1", "0131d9619dc1376e", "5cd54ca83def57da", "7a389d10354bd271");
        row("SP 800-17 B.4 #2", "07a1133e4a0b2686", "0248d43806f67172", "868ebb51cab4599a");
        row("SP 800-17 B.4 #3", "3849674c2602319e", "51454b582ddf440a", "7178876e01f19b2a");
        row("SP 800-17 B.4 #4", "04b915ba43feb5b6", "42fd443059577fa2", "af37fb421f8c4095");
        row("SP 800-17 B.4 #5", "0113b970fd34f2ce", "059b5e0851cf143a", "86a560f10ec6d85b");
        row("SP 800-17 B.4 #6", "0170f175468fb5e6", "0756d8e0774761d2", "0cd3da020021dc09");
        row("SP 800-17 B.4 #7", "43297fad38e373fe", "762514b829bf486a", "ea676b2cb7db2b7a");
        row("SP 800-17 B.4 #8", "07a7137045da2a16", "3bdd119049372802", "dfd64a815caf1a0f");
        row("SP 800-17 B.4 #9", "04689104c2fd3b2f", "26955f6835af609a", "5c513c9c4886c088");
        row("SP 800-17 B.4 #10", "37d06bb516cb7546", "164d5e404f275232", "0a2aeeae3ff4ab77");
        row("SP 800-17 B.4 #11", "1f08260d1ac2465e", "6b056e18759f5cca", "ef1bf03e5dfa575a");
        row("SP 800-17 B.4 #12", "584023641aba6176", "004bd6ef09176062", "88bf0db6d70dee56");
        row("SP 800-17 B.4 #13", "025816164629b007", "480d39006ee762f2", "a1f9915541020b56");
        row("SP 800-17 B.4 #14", "49793ebc79b3258f", "437540c8698f3cfa", "6fbf1cafcffd0556");
        row("SP 800-17 B.4 #15", "4fb05e1515ab73a7", "072d43a077075292", "2f22e49bab7ca1ac");
        row("SP 800-17 B.4 #16", "49e95d6d4ca229bf", "02fe55778117f12a", "5a6b612cc26cce4a");
        row("SP 800-17 B.4 #17", "018310dc409b26d6", "1d9d5c5018f728c2", "5f4c038ed12b2e41");
        row("SP 800-17 B.4 #18", "1c587f1c13924fef", "305532286d6f295a", "63fac0d034d9f793");
    }
    void knownAnswers()
    {
        QFETCH(QByteArray, key);
        QFETCH(QByteArray, plain);
        QFETCH(QByteArray, cipher);
        QCOMPARE(encryptStandard(key, plain).toHex(), cipher.toHex());
        QCOMPARE(decryptStandard(key, cipher).toHex(), plain.toHex());
    }

    // R. L. Rivest, "Testing implementations of DES" (1985): X0 = 9474B8E8C73BCA7D and
    // X(i+1) = E(Xi, Xi) for even i, D(Xi, Xi) for odd i, give X16 = 1B1A2DDB4C642438 in an
    // implementation free of any of 36,568 single faults in its tables and wiring.
    void rivestRecurrence()
    {
        QByteArray x = QByteArray::fromHex("9474b8e8c73bca7d");
        for (int i = 0; i < 16; ++i)
            x = i % 2 == 0 ? encryptStandard(x, x) : decryptStandard(x, x);
        QCOMPARE(x.toHex(), QByteArray("1b1a2ddb4c642438"));
    }

    // The password encoder encrypts in place.
    void transformInPlace()
    {
        const QByteArray key = reversedKeyBytes(QByteArray::fromHex("0123456789abcdef"));
        credentials::des::setKey(reinterpret_cast<const unsigned char *>(key.constData()),
                                 credentials::des::Encrypt);
        QByteArray block = QByteArray::fromHex("4e6f772069732074");
        auto *bytes = reinterpret_cast<unsigned char *>(block.data());
        credentials::des::transform(bytes, bytes);
        QCOMPARE(block.toHex(), QByteArray("3fa40e8a984d4815"));
    }

    // Key bits are read least significant first, so the parity bits DES ignores are the top bit
    // of each byte: flipping those keeps the result, flipping the bottom bits changes it.
    void ignoredKeyBitsAreTheTopBits()
    {
        const QByteArray plain = QByteArray::fromHex("0123456789abcdef");
        const QByteArray key = reversedKeyBytes(QByteArray::fromHex("133457799bbcdff1"));
        const QByteArray expected = run(key, plain, credentials::des::Encrypt);
        QCOMPARE(expected.toHex(), QByteArray("85e813540f0ab405"));
        for (int i = 0; i < 8; ++i) {
            QByteArray top = key;
            top[i] = static_cast<char>(top[i] ^ 0x80);
            QCOMPARE(run(top, plain, credentials::des::Encrypt).toHex(), expected.toHex());
            QByteArray bottom = key;
            bottom[i] = static_cast<char>(bottom[i] ^ 0x01);
            QVERIFY2(run(bottom, plain, credentials::des::Encrypt) != expected,
                     qPrintable(QStringLiteral("key byte %1").arg(i)));
        }
    }

    // The schedule is process-wide: the last setKey decides, including its direction.
    void lastKeyWins()
    {
        const QByteArray plain = QByteArray::fromHex("4e6f772069732074");
        const QByteArray first = reversedKeyBytes(QByteArray::fromHex("7ca110454a1a6e57"));
        const QByteArray second = reversedKeyBytes(QByteArray::fromHex("0123456789abcdef"));
        credentials::des::setKey(reinterpret_cast<const unsigned char *>(first.constData()),
                                 credentials::des::Encrypt);
        credentials::des::setKey(reinterpret_cast<const unsigned char *>(second.constData()),
                                 credentials::des::Decrypt);
        const QByteArray cipher = QByteArray::fromHex("3fa40e8a984d4815");
        QByteArray out(8, '\0');
        credentials::des::transform(reinterpret_cast<const unsigned char *>(cipher.constData()),
                                    reinterpret_cast<unsigned char *>(out.data()));
        QCOMPARE(out.toHex(), plain.toHex());
    }
};

QTEST_APPLESS_MAIN(TestDes)
#include "tst_des.moc"

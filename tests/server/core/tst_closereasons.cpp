// The close reasons a supporter can be given, from their one list: the metrics' labels come from
// it, and the supporter's page (web/velmora.js) and the server's README explain exactly those,
// under the same codes.
#include "server/core/closereasons.h"
#include "server/core/metrics.h"

#include <QtTest>

#include <map>

using namespace velmora::server;

namespace {

QString word(const CloseReason &reason)
{
    return QString::fromLatin1(reason.text.data(), int(reason.text.size()));
}

// Every reason a supporter can read, by its word.
std::map<QString, int> supporterReasons()
{
    std::map<QString, int> reasons;
    for (const CloseReason &reason : kRefusals)
        reasons.emplace(word(reason), reason.code);
    for (const CloseReason &reason : kSessionEndings)
        reasons.emplace(word(reason), reason.code);
    return reasons;
}

QStringList wordsOf(const std::map<QString, int> &reasons)
{
    QStringList words;
    for (const auto &[word, code] : reasons)
        words << word;
    return words;
}

QString sourceFile(const QString &path)
{
    QFile file(qEnvironmentVariable("VELMORA_SOURCE_DIR") + '/' + path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

} // namespace

class TestCloseReasons : public QObject
{
    Q_OBJECT

private slots:
    void eachReasonHasItsOwnWordAndCode()
    {
        const std::map<QString, int> reasons = supporterReasons();
        QCOMPARE(reasons.size(), std::size(kRefusals) + std::size(kSessionEndings));
        QSet<int> codes;
        for (const auto &[word, code] : reasons) {
            QVERIFY2(!word.isEmpty() && !word.contains(';'), qPrintable(word));
            QVERIFY2(!codes.contains(code), qPrintable(QString::number(code)));
            codes.insert(code);
        }
    }

    // Every refusal is counted, under its own word, from the start; nothing else is.
    void metricsLabelEveryRefusal()
    {
        const QString text = QString::fromStdString(prometheusText(ServerStats{}));
        const QRegularExpression sample(
            QStringLiteral("^velmora_supporter_refusals_total\\{reason=\"([^\"]+)\"\\} 0$"),
            QRegularExpression::MultilineOption);
        QStringList labels;
        for (auto it = sample.globalMatch(text); it.hasNext();)
            labels << it.next().captured(1);
        labels.sort();
        QStringList refusals;
        for (const CloseReason &reason : kRefusals)
            refusals << word(reason);
        refusals.sort();
        QCOMPARE(labels, refusals);
    }

    // The page's table of what each reason means to the supporter: the same words, no more.
    void thePageExplainsEveryReason()
    {
        const QString script = sourceFile(QStringLiteral("web/velmora.js"));
        QVERIFY2(!script.isEmpty(), "web/velmora.js not found under VELMORA_SOURCE_DIR");
        const qsizetype start = script.indexOf(QStringLiteral("const REFUSALS = {"));
        const qsizetype end = script.indexOf(QStringLiteral("\n};"), start);
        QVERIFY2(start >= 0 && end > start, "no REFUSALS table in web/velmora.js");
        const QString table = script.mid(start, end - start);
        const QRegularExpression key(QStringLiteral("^\\s*'([a-z-]+)':"),
                                     QRegularExpression::MultilineOption);
        QStringList explained;
        for (auto it = key.globalMatch(table); it.hasNext();)
            explained << it.next().captured(1);
        explained.sort();
        QCOMPARE(explained, wordsOf(supporterReasons()));
    }

    // The README's table of codes and reasons: the same pairs, no more.
    void theReadmeListsEveryReasonWithItsCode()
    {
        const QString readme = sourceFile(QStringLiteral("server/README.md"));
        QVERIFY2(!readme.isEmpty(), "server/README.md not found under VELMORA_SOURCE_DIR");
        const QRegularExpression row(QStringLiteral("^\\| (\\d{4}) \\| `([a-z-]+)[;`]"),
                                     QRegularExpression::MultilineOption);
        std::map<QString, int> listed;
        for (auto it = row.globalMatch(readme); it.hasNext();) {
            const auto match = it.next();
            listed.emplace(match.captured(2), match.captured(1).toInt());
        }
        QCOMPARE(wordsOf(listed), wordsOf(supporterReasons()));
        for (const auto &[word, code] : supporterReasons())
            QCOMPARE(listed.at(word), code);
    }
};

QTEST_GUILESS_MAIN(TestCloseReasons)
#include "tst_closereasons.moc"

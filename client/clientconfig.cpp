#include "client/clientconfig.h"

#include <QFile>
#include <QStringList>
#include <QTextStream>

namespace {

bool isOffWord(const QString &value)
{
    for (const char *word : {"", "0", "false", "no", "off"}) {
        if (value.compare(QLatin1String(word), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

} // namespace

void ClientConfig::read(const QString &fileName)
{
    if (!QFile::exists(fileName))
        return;
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return;
    QTextStream in(&file);
    QString line;
    while (in.readLineInto(&line)) {
        const int colon = line.indexOf(QLatin1Char(':'));
        if (colon < 0)
            continue;
        const QStringList pieces = line.split(QLatin1Char(':'));
        const QString key = pieces.at(0).trimmed();
        const QString value = pieces.at(1).trimmed();
        if (key == QLatin1String("server_host"))
            host = value;
        else if (key == QLatin1String("server_port"))
            port = value;
        else if (key == QLatin1String("server_tls"))
            tls = !isOffWord(value);
        else if (key == QLatin1String("server_ca_file"))
            caFile = line.mid(colon + 1).trimmed();
    }
}

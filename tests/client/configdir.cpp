#include "configdir.h"

#include <QDir>
#include <QFile>

ConfigDir::ConfigDir() : previous(QDir::currentPath())
{
    entered = dir.isValid() && QDir::setCurrent(dir.path());
}

ConfigDir::~ConfigDir()
{
    QDir::setCurrent(previous);
}

bool ConfigDir::writeConfig(const QByteArray &content)
{
    QFile file(dir.filePath(QStringLiteral("velmora.conf")));
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(content) == content.size();
}

bool ConfigDir::writeServer(const QString &host, quint16 port)
{
    return writeConfig("server_host: " + host.toUtf8() +
                       "\nserver_port: " + QByteArray::number(port) + "\n");
}

// A private working directory for tests of code that reads "velmora.conf" from the working
// directory.
#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

/// Makes a fresh temporary directory the working directory for its lifetime and restores the
/// previous one after.
class ConfigDir
{
public:
    ConfigDir();
    ~ConfigDir();
    ConfigDir(const ConfigDir &) = delete;
    ConfigDir &operator=(const ConfigDir &) = delete;

    /// True when the directory exists and is the working directory.
    bool isValid() const { return entered; }
    QString path() const { return dir.path(); }

    /// Writes "velmora.conf" with exactly these bytes.
    bool writeConfig(const QByteArray &content);
    /// Writes a "velmora.conf" that names this server.
    bool writeServer(const QString &host, quint16 port);

private:
    QTemporaryDir dir;
    QString previous;
    bool entered = false;
};

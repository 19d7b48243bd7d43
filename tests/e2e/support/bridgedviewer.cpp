#include "bridgedviewer.h"

#include <QDir>
#include <QStandardPaths>

BridgedViewer::BridgedViewer(QString connectProgram) : program(std::move(connectProgram)) {}

QString BridgedViewer::missingTool()
{
    for (const char *tool : {"xtightvncviewer", "import", "vncpasswd", "Xvfb"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            return QString::fromLatin1(tool);
    }
    return {};
}

quint16 BridgedViewer::startBridge(const QString &server, const QString &id)
{
    bridge = std::make_unique<ServerProcess>(program);
    bridge->start({QStringLiteral("--server"), server, QStringLiteral("--id"), id,
                   QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")});
    if (!bridge->waitForLine(QStringLiteral("127.0.0.1:")))
        return 0;
    return bridge->portFrom(QStringLiteral("127.0.0.1:"));
}

bool BridgedViewer::showsDesktop(const QString &server, const QString &id,
                                 const QString &passwordFile, const QColor &colour)
{
    const quint16 port = startBridge(server, id);
    if (port == 0)
        return false;
    viewer.connectTo(port, passwordFile);
    return viewer.waitForColour(colour, 0.4);
}

bool BridgedViewer::showsColour(const QColor &colour, int timeoutMs)
{
    return viewer.waitForColour(colour, 0.4, timeoutMs);
}

void BridgedViewer::savePicture(const QString &name, const QString &fallbackFolder) const
{
    const QString folder = qEnvironmentVariable("VELMORA_ARTIFACT_DIR", fallbackFolder);
    viewer.lastPicture().save(QDir(folder).filePath(name));
}

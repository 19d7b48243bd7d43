#include "vncviewer.h"

#include <QFileInfo>

#include <QStandardPaths>
#include <QTest>

VncViewer::VncViewer() = default;

VncViewer::~VncViewer()
{
    close();
}

bool VncViewer::isUsable() const
{
    return display.isRunning() &&
           !QStandardPaths::findExecutable(QStringLiteral("xtightvncviewer")).isEmpty() &&
           !QStandardPaths::findExecutable(QStringLiteral("import")).isEmpty();
}

void VncViewer::connectTo(quint16 port, const QString &passwordFile)
{
    close();
    printed.clear();
    picture = QImage();
    viewer.setProcessEnvironment(display.environment());
    viewer.setProcessChannelMode(QProcess::MergedChannels);
    viewer.start(QStringLiteral("xtightvncviewer"),
                 {QStringLiteral("-viewonly"), QStringLiteral("-encodings"), QStringLiteral("raw"),
                  QStringLiteral("-passwd"), passwordFile,
                  QStringLiteral("127.0.0.1::%1").arg(port)});
}

QImage VncViewer::grab()
{
    QProcess import;
    import.setProcessEnvironment(display.environment());
    import.start(QStringLiteral("import"),
                 {QStringLiteral("-window"), QStringLiteral("root"), QStringLiteral("png:-")});
    if (!import.waitForFinished(20000) || import.exitCode() != 0)
        return {};
    return QImage::fromData(import.readAllStandardOutput(), "PNG");
}

bool VncViewer::waitForColour(const QColor &colour, double share, int timeoutMs)
{
    return QTest::qWaitFor(
        [&] {
            picture = grab();
            return colourShare(picture, colour) >= share;
        },
        timeoutMs);
}

int VncViewer::waitForExit(int timeoutMs)
{
    if (!QTest::qWaitFor([&] { return viewer.state() == QProcess::NotRunning; }, timeoutMs))
        return -1;
    return viewer.exitStatus() == QProcess::NormalExit ? viewer.exitCode() : -1;
}

QString VncViewer::output()
{
    printed += viewer.readAll();
    return QString::fromLocal8Bit(printed);
}

void VncViewer::close()
{
    if (viewer.state() == QProcess::NotRunning)
        return;
    printed += viewer.readAll();
    viewer.terminate();
    if (!viewer.waitForFinished(5000)) {
        viewer.kill();
        viewer.waitForFinished(5000);
    }
}

double colourShare(const QImage &image, const QColor &colour)
{
    if (image.isNull())
        return 0;
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    qint64 close = 0;
    for (int y = 0; y < rgb.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(rgb.constScanLine(y));
        for (int x = 0; x < rgb.width(); ++x) {
            if (qAbs(qRed(line[x]) - colour.red()) < 16 &&
                qAbs(qGreen(line[x]) - colour.green()) < 16 &&
                qAbs(qBlue(line[x]) - colour.blue()) < 16)
                ++close;
        }
    }
    return double(close) / (qint64(rgb.width()) * rgb.height());
}

bool writeViewerPasswordFile(const QString &password, const QString &path)
{
    QProcess vncpasswd;
    vncpasswd.setStandardOutputFile(path);
    vncpasswd.start(QStringLiteral("vncpasswd"), {QStringLiteral("-f")});
    vncpasswd.write(password.toUtf8() + '\n');
    vncpasswd.closeWriteChannel();
    return vncpasswd.waitForFinished(10000) && vncpasswd.exitCode() == 0 &&
           QFileInfo(path).size() == 8;
}

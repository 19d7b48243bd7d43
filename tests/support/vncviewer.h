// A real VNC viewer (TightVNC's xtightvncviewer) on a private X server, and pictures of what it
// shows. Debian's vncsnapshot cannot be used against TigerVNC 1.12: it stops at the empty cursor
// rectangle that TigerVNC sends first and saves a blank picture with exit status 0.
#pragma once

#include "xvfb.h"

#include <QColor>
#include <QImage>
#include <QProcess>
#include <QString>

class VncViewer
{
public:
    VncViewer();
    ~VncViewer();
    VncViewer(const VncViewer &) = delete;
    VncViewer &operator=(const VncViewer &) = delete;

    /// Whether xtightvncviewer and a private X server for it are available.
    bool isUsable() const;
    /// Connects to 127.0.0.1 at `port`, authenticating with the VNC password file `passwordFile`.
    void connectTo(quint16 port, const QString &passwordFile);
    /// Waits until the viewer shows a picture with at least `share` of its pixels close to
    /// `colour`; keeps the last picture in lastPicture().
    bool waitForColour(const QColor &colour, double share, int timeoutMs = 30000);
    /// Waits for the viewer to end; its exit code, or -1 when it crashed or did not end in time.
    int waitForExit(int timeoutMs = 30000);
    /// What the viewer printed.
    QString output();
    QImage lastPicture() const { return picture; }
    void close();

private:
    QImage grab();

    Xvfb display{QStringLiteral("1600x1000x24")};
    QProcess viewer;
    QByteArray printed;
    QImage picture;
};

/// Writes a password file for the viewer with TigerVNC's own tool (`vncpasswd -f`) from the
/// password's text; true when the file holds its 8 bytes.
bool writeViewerPasswordFile(const QString &password, const QString &path);

/// Share of the pixels of `image` within a small distance of `colour`.
double colourShare(const QImage &image, const QColor &colour);

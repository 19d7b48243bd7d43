// The helped person's side of an end-to-end test: an Xvfb desktop in one colour, and the real
// agent (velmora, with the stand-in VNC server and proxy on PATH) in a folder of its own,
// pointed at a server.
#pragma once

#include "serverprocess.h"
#include "xvfb.h"

#include <QColor>
#include <QString>
#include <QTemporaryDir>

#include <memory>

class DesktopAgent
{
public:
    /// A desktop painted in `colour`, so that a picture of it can be told from a blank one.
    explicit DesktopAgent(const QColor &colour = QColor(0x33, 0x66, 0xcc));
    /// Ends the agent (SIGTERM, then SIGKILL), then the desktop.
    ~DesktopAgent();
    DesktopAgent(const DesktopAgent &) = delete;
    DesktopAgent &operator=(const DesktopAgent &) = delete;

    /// The first program the agent's side needs that is not installed, or empty.
    static QString missingTool();

    /// Starts the desktop and paints it; false, with error(), when that failed.
    bool startDesktop();
    /// Paints the whole desktop in `colour` (xsetroot), which becomes colour().
    bool paint(const QColor &colour);

    /// Starts the agent `program` with a velmora.conf for 127.0.0.1:`serverPort`, waits for its
    /// first ID and for its VNC server and proxy to listen, and reads the session password into
    /// password() and a viewer's password file. False, with error(), when a step failed.
    bool start(const QString &program, quint16 serverPort);

    /// Waits until the agent has announced an ID `count` times in all; the last of those IDs, or
    /// empty when it had not within `timeoutMs`.
    QString waitForAnnouncement(int count, int timeoutMs = 30000);
    /// How many times it has announced an ID so far.
    int announcements() const;

    QColor colour() const { return painted; }
    QString id() const { return sessionId; }
    QString password() const { return sessionPassword; }
    /// The password in a file as TigerVNC's vncpasswd writes it, for the viewer's -passwd.
    QString passwordFile() const { return viewerPasswordFile; }
    /// A file in the agent's folder.
    QString filePath(const QString &name) const { return folder.filePath(name); }
    QString error() const { return failure; }

    ServerProcess process;

private:
    bool fail(const QString &why);

    Xvfb desktop;
    QTemporaryDir folder;
    QColor painted;
    QString sessionId;
    QString sessionPassword;
    QString viewerPasswordFile;
    QString failure;
};

// The supporter's side of an end-to-end test: velmora-connect bridging a real VNC viewer
// (TightVNC's, on an X server of its own) to a server for one ID, and pictures of what it shows.
#pragma once

#include "serverprocess.h"
#include "vncviewer.h"

#include <QColor>
#include <QString>

#include <memory>

class BridgedViewer
{
public:
    /// `connectProgram`: velmora-connect.
    explicit BridgedViewer(QString connectProgram);

    /// The first program this side needs that is not installed, or empty.
    static QString missingTool();
    /// Whether the viewer and its X server are usable.
    bool isUsable() const { return viewer.isUsable(); }

    /// Starts velmora-connect for `server` ("ws://HOST:PORT") and `id`; the local port it
    /// listens on, or 0 when it did not start. A bridge started before is ended first.
    quint16 startBridge(const QString &server, const QString &id);
    /// Bridges `id` and logs the viewer in with `passwordFile`; true once it shows `colour` on at
    /// least 40 % of its screen (the remote 1024×768 fills about half of its 1600×1000). The
    /// viewer stays connected: the session is in progress until close().
    bool showsDesktop(const QString &server, const QString &id, const QString &passwordFile,
                      const QColor &colour);
    /// In a session in progress: true once the viewer shows `colour` (the desktop changed).
    bool showsColour(const QColor &colour, int timeoutMs = 30000);
    /// Saves the last picture as `name` in the artifacts folder (VELMORA_ARTIFACT_DIR, else
    /// `fallbackFolder`).
    void savePicture(const QString &name, const QString &fallbackFolder) const;
    /// Ends the viewer, and with it the session.
    void close() { viewer.close(); }

    VncViewer viewer;
    std::unique_ptr<ServerProcess> bridge;

private:
    QString program;
};

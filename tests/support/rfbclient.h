// A minimal VNC (RFB 3.8) client over a WebSocket, as the supporter's page speaks it through the
// rendezvous server: VNC authentication, then one full framebuffer update in raw pixels. For
// checking, byte for byte, what crosses the relay in both directions.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QUrl>
#include <QWebSocket>

class RfbClient
{
public:
    RfbClient();

    /// Connects to `url` (the server's viewer URL for an ID) and logs in with `password`. False
    /// with error() set when anything differs from a VNC server that accepts the password.
    bool login(const QUrl &url, const QString &password, int timeoutMs = 30000);
    /// After login(): the whole screen, requested in raw 32-bit pixels with the cursor sent apart
    /// (so that the picture is the desktop's own pixels). A null image on failure.
    QImage screen(int timeoutMs = 30000);
    QString error() const { return failure; }
    QString desktopName() const { return name; }

private:
    bool read(int count, QByteArray &out, int timeoutMs);
    bool fail(const QString &why);

    QWebSocket socket;
    QByteArray pending;
    QString failure;
    QString name;
    int width = 0;
    int height = 0;
};

// The supporter's side of password guessing: a viewer that speaks RFB 3.8 over the server's
// WebSocket, picks a security type and answers the challenge with its password, or leaves at a
// chosen step.
#pragma once

#include "supporterpeer.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>

class VncViewerPeer : public QObject
{
public:
    /// `choice`: the security type it picks (2, VNC authentication, by default).
    explicit VncViewerPeer(QByteArray password, char choice = 2);

    void open(const QUrl &url) { peer.open(url); }
    bool waitForEnd(int timeoutMs = 10000) { return peer.waitForDisconnected(timeoutMs); }
    /// Waits until it logged in or was closed; false when neither happened in time.
    bool waitForOutcome(int timeoutMs = 10000);
    int closeCode() const { return int(peer.socket.closeCode()); }
    QString closeReason() const { return peer.socket.closeReason(); }

    SupporterPeer peer;
    QByteArray password;
    char choice;
    /// Leave right after sending the response, before the result.
    bool leaveAfterResponse = false;
    /// Leave as soon as the password is asked for (the challenge arrived), sending nothing.
    bool leaveAtChallenge = false;
    /// Send nothing after the version and the type: a supporter that never answers.
    bool silentAtChallenge = false;
    bool loggedIn = false;
    /// The failure result and reason as the viewer received them.
    QByteArray failure;
    QByteArray afterLogin;
    /// The security types offered.
    QByteArray offered;
    /// The challenge arrived: the password prompt of a real viewer.
    bool challenged = false;

private:
    void onBytes(const QByteArray &bytes);

    QByteArray pending;
    int step = 0;
};

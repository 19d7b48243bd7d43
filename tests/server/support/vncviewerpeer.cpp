#include "vncviewerpeer.h"

#include "vncagentpeer.h"

#include <QTest>

namespace {

QByteArray u32(quint32 value)
{
    return QByteArray(1, char(value >> 24)) + char(value >> 16) + char(value >> 8) + char(value);
}

} // namespace

VncViewerPeer::VncViewerPeer(QByteArray password, char choice)
    : password(std::move(password)), choice(choice)
{
    connect(&peer.socket, &QWebSocket::binaryMessageReceived, this, &VncViewerPeer::onBytes);
}

bool VncViewerPeer::waitForOutcome(int timeoutMs)
{
    return QTest::qWaitFor([&] { return peer.disconnected || loggedIn; }, timeoutMs);
}

void VncViewerPeer::onBytes(const QByteArray &bytes)
{
    pending += bytes;
    if (loggedIn) {
        afterLogin += pending;
        pending.clear();
        return;
    }
    if (step == 0 && pending.size() >= 12) {
        pending.remove(0, 12);
        peer.socket.sendBinaryMessage("RFB 003.008\n");
        step = 1;
    }
    if (step == 1 && pending.size() >= 1 && pending.size() >= 1 + quint8(pending[0])) {
        offered = pending.mid(1, quint8(pending[0]));
        pending.remove(0, 1 + offered.size());
        peer.socket.sendBinaryMessage(QByteArray(1, choice));
        step = 2;
    }
    if (step == 2 && pending.size() >= 16 && (leaveAtChallenge || silentAtChallenge)) {
        challenged = true;
        if (leaveAtChallenge)
            peer.socket.abort();
        return;
    }
    if (step == 2 && pending.size() >= 16) {
        peer.socket.sendBinaryMessage(VncAgentPeer::response(pending.left(16), password));
        pending.remove(0, 16);
        step = 3;
        if (leaveAfterResponse) {
            peer.socket.flush();
            peer.socket.abort();
        }
    }
    if (step == 3 && pending.size() >= 4) {
        if (pending.startsWith(u32(0))) {
            loggedIn = true;
            afterLogin = pending.mid(4);
        } else {
            failure = pending;
        }
        pending.clear();
        step = 4;
    } else if (step == 4) {
        failure += pending;
        pending.clear();
    }
}

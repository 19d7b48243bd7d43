#include "vncagentpeer.h"

#include "credentials/des.h"

#include <QRandomGenerator>
#include <QTest>

namespace {

QByteArray u32(quint32 value)
{
    return QByteArray(1, char(value >> 24)) + char(value >> 16) + char(value >> 8) + char(value);
}

} // namespace

VncAgentPeer::VncAgentPeer(QByteArray types)
    : peer(AgentPeer::Mode::Manual), types(std::move(types))
{
    connect(&peer, &AgentPeer::sessionStarted, this, [this] {
        state = State::Version;
        pending.clear();
        received.clear();
        peer.sendRfb("RFB 003.008\n");
    });
    connect(&peer, &AgentPeer::payloadReceived, this, &VncAgentPeer::onPayload);
}

bool VncAgentPeer::online(const QUrl &url)
{
    peer.open(url);
    return peer.waitForId();
}

bool VncAgentPeer::reconnect(const QUrl &url)
{
    if (url.isEmpty()) {
        peer.reconnect();
    } else {
        peer.socket.abort();
        peer.open(url, peer.token);
    }
    return peer.waitForId();
}

bool VncAgentPeer::returnAfterSession(const QUrl &url)
{
    return QTest::qWaitFor([&] { return peer.socket.state() == QAbstractSocket::UnconnectedState; },
                           10000) &&
           reconnect(url);
}

QByteArray VncAgentPeer::response(const QByteArray &challenge, const QByteArray &password)
{
    unsigned char key[8] = {};
    for (int i = 0; i < password.size() && i < 8; ++i)
        key[i] = static_cast<unsigned char>(password[i]);
    credentials::des::setKey(key, credentials::des::Encrypt);
    QByteArray out(16, '\0');
    for (int half = 0; half < 2; ++half)
        credentials::des::transform(
            reinterpret_cast<const unsigned char *>(challenge.constData() + 8 * half),
            reinterpret_cast<unsigned char *>(out.data() + 8 * half));
    return out;
}

void VncAgentPeer::onPayload(const QByteArray &bytes)
{
    received += bytes;
    pending += bytes;
    for (;;) {
        if (state == State::Version && pending.size() >= 12) {
            pending.remove(0, 12);
            peer.sendRfb(types);
            state = State::Choice;
        } else if (state == State::Choice && pending.size() >= 1) {
            pending.remove(0, 1);
            challenge.clear();
            for (int i = 0; i < 16; ++i)
                challenge.append(char(QRandomGenerator::global()->bounded(256)));
            peer.sendRfb(challenge);
            state = State::Response;
        } else if (state == State::Response && pending.size() >= 16) {
            const bool right = pending.left(16) == response(challenge, kPassword);
            pending.remove(0, 16);
            if (right) {
                ++logins;
                peer.sendRfb(u32(0));
                state = State::Echo;
            } else {
                const QByteArray reason = "Authentication failure";
                peer.sendRfb(u32(1) + u32(quint32(reason.size())) + reason);
                state = State::Idle;
            }
        } else if (state == State::Echo && !pending.isEmpty()) {
            peer.sendRfb(pending);
            pending.clear();
        } else {
            return;
        }
    }
}

#include "livesession.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <cmath>

namespace {

QByteArray rfbEnvelope(const QByteArray &bytes)
{
    return "{\"action\":\"rfb\",\"api_version\":\"110\",\"payload\":\"" + bytes.toBase64() + "\"}";
}

// Takes the binary payloads that `socket` received from frame `cursor` on into `have`, until it
// holds `count` bytes.
bool readPayload(RawWebSocket &socket, int &cursor, QByteArray &have, int count)
{
    return QTest::qWaitFor(
        [&] {
            const QList<RawWebSocket::Frame> frames = socket.frames();
            for (; cursor < frames.size(); ++cursor) {
                if (frames.at(cursor).opcode == 2)
                    have += frames.at(cursor).payload;
            }
            return have.size() >= count;
        },
        10000);
}

} // namespace

bool LiveSession::open(quint16 port, const QByteArray &extraHeaders)
{
    QObject::connect(
        &agent, &RawWebSocket::frameReceived,
        [this](int opcode, const QByteArray &payload) { onAgentFrame(opcode, payload); });
    if (!agent.handshake(port, "/", "Cookie: VELMORA-SESSION-TOKEN=\r\n" + extraHeaders))
        return false;
    const QByteArray info = agent.waitForFrame(2).payload;
    id = QJsonDocument::fromJson(info).object().value("id").toString();
    if (id.size() != 9 || !supporter.handshake(port, "/viewer/" + id.toLatin1(), extraHeaders) ||
        !supporter.upgraded())
        return false;
    // The supporter's half of RFB 3.8 with VNC authentication.
    int cursor = 0;
    QByteArray got;
    if (!readPayload(supporter, cursor, got, 12) || got.left(12) != "RFB 003.008\n")
        return false;
    supporter.sendFrame(2, "RFB 003.008\n");
    got.remove(0, 12);
    if (!readPayload(supporter, cursor, got, 2))
        return false;
    supporter.sendFrame(2, QByteArray(1, 2));
    got.remove(0, 1 + quint8(got.at(0)));
    if (!readPayload(supporter, cursor, got, 16))
        return false;
    supporter.sendFrame(2, QByteArray(16, 'r'));
    got.remove(0, 16);
    return readPayload(supporter, cursor, got, 4) && got.left(4) == QByteArray(4, '\0');
}

void LiveSession::onAgentFrame(int opcode, const QByteArray &payload)
{
    if (opcode != 2)
        return;
    const QJsonObject envelope = QJsonDocument::fromJson(payload).object();
    const QString action = envelope.value("action").toString();
    if (action == "start_session") {
        agentStep = 0;
        fromSupporter.clear();
        agent.sendFrame(2, rfbEnvelope("RFB 003.008\n"));
        return;
    }
    if (action != "rfb")
        return;
    fromSupporter += QByteArray::fromBase64(envelope.value("payload").toString().toLatin1());
    // The VNC server's half: types, a challenge, the result; then an echo.
    for (;;) {
        if (agentStep == 0 && fromSupporter.size() >= 12) {
            fromSupporter.remove(0, 12);
            agent.sendFrame(2, rfbEnvelope(QByteArray("\x01\x02", 2)));
            agentStep = 1;
        } else if (agentStep == 1 && fromSupporter.size() >= 1) {
            fromSupporter.remove(0, 1);
            agent.sendFrame(2, rfbEnvelope(QByteArray(16, 'c')));
            agentStep = 2;
        } else if (agentStep == 2 && fromSupporter.size() >= 16) {
            fromSupporter.remove(0, 16);
            agent.sendFrame(2, rfbEnvelope(QByteArray(4, '\0')));
            agentStep = 3;
        } else if (agentStep == 3 && !fromSupporter.isEmpty()) {
            agent.sendFrame(2, rfbEnvelope(fromSupporter));
            fromSupporter.clear();
        } else {
            return;
        }
    }
}

std::vector<double> LiveSession::roundTrips(int count)
{
    // A signal spy's wait runs the event loop without the pauses of QTest::qWaitFor.
    QSignalSpy received(&supporter, &RawWebSocket::frameReceived);
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        received.clear();
        const QByteArray message(64, char('a' + i % 26));
        QElapsedTimer timer;
        timer.start();
        supporter.sendFrame(2, message);
        QByteArray echoed;
        while (echoed.size() < message.size()) {
            if (received.isEmpty() && !received.wait(30000))
                return {};
            echoed += received.takeFirst().at(1).toByteArray();
        }
        if (echoed != message)
            return {};
        times.push_back(timer.nsecsElapsed() / 1000.0);
    }
    std::sort(times.begin(), times.end());
    return times;
}

double percentile(const std::vector<double> &values, double share)
{
    if (values.empty())
        return -1;
    const std::size_t index =
        std::min(values.size() - 1, std::size_t(std::ceil(share * double(values.size())) - 1));
    return values[index];
}

long residentKb(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

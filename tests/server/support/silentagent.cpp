#include "silentagent.h"

#include <QJsonDocument>
#include <QJsonObject>

bool SilentAgent::open(quint16 port, const QString &presented)
{
    if (!raw.handshake(port, "/", "Cookie: VELMORA-SESSION-TOKEN=" + presented.toUtf8() + "\r\n") ||
        !raw.upgraded())
        return false;
    const QJsonObject info = QJsonDocument::fromJson(raw.waitForFrame(2).payload).object();
    if (info.value("action").toString() != "connection_info")
        return false;
    id = info.value("id").toString();
    token = info.value("session_token").toString();
    return !id.isEmpty();
}

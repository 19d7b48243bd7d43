// Records the Client's two status signals in order.
#pragma once

#include "client/client.h"

#include <QList>
#include <QObject>

// Client::Status is not a meta-type, so QSignalSpy cannot record it.
struct StatusLog
{
    explicit StatusLog(Client *client)
    {
        QObject::connect(client, &Client::sessionAStatusChanged,
                         [this](Client::Status s) { a << s; });
        QObject::connect(client, &Client::sessionBStatusChanged,
                         [this](Client::Status s) { b << s; });
    }
    QList<Client::Status> a;
    QList<Client::Status> b;
};

// Replacing a file with one that only the user running the agent can read.
#pragma once

#include <QByteArray>
#include <QString>

namespace credentials {

// Replaces `fileName` with a file that holds exactly `data` and that only this user may read or
// change. The bytes go to a new file beside it, created exclusively and private from the start
// (mode 0600 on Unix; on Windows an access list that names this user alone and takes nothing
// from the folder), are made durable, and the new file then takes the old one's place in one
// step. Returns false on any failure; the old file is then unchanged and no new file is left.
// Precondition: `fileName` is not empty.
bool replaceWithPrivateFile(const QString &fileName, const QByteArray &data);

} // namespace credentials

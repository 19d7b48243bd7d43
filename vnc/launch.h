// Helpers shared by the two launchers of local programs.
#pragma once

#include <QString>

#include <memory>

class QProcess;
class QTcpSocket;

/// Replaces `probe` with a new parentless socket (the old one is destroyed before the bind, which
/// releases its port) and binds it to port 0 on any local address with
/// QAbstractSocket::ShareAddress, so that the operating system picks a free port. The socket stays
/// bound and holds the port for as long as `probe` keeps it; ShareAddress lets the program that is
/// started on that port listen on it meanwhile. Returns the port as plain decimal text, or an empty
/// string when the bind fails (the unbound socket then stays in `probe`).
QString bindFreePort(std::unique_ptr<QTcpSocket> &probe);

/// Sends the program's standard output and standard error to `logFile`, truncated when the
/// program starts, through one open file: two opens of one file (one truncating, one appending)
/// would each write at their own position and overwrite each other's lines. Nothing is left in the
/// process object's buffers, so a program that writes for hours costs the agent no memory.
void logBothStreams(QProcess &process, const QString &logFile);

/// Starts `commandLine` on `process` in read-write mode, split at spaces into program name and
/// arguments exactly as QProcess's one-string start does.
void startCommandLine(QProcess &process, const QString &commandLine);

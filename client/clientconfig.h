// The agent's settings: the file "velmora.conf" in the working directory.
#pragma once

#include <QString>

/// What "velmora.conf" says, read once by read(); every setting is empty (or off) until then and
/// stays so when the file is missing or cannot be opened.
///
/// The file holds text lines; a line with a colon holds a key (case-sensitive) before its first
/// colon and a value between that colon and the next one or the end of the line, both trimmed.
/// Other lines and keys are ignored; a key on several lines takes the last line's value, an empty
/// one included. Nothing is validated here and nothing is logged.
///
/// - "server_host", "server_port": the rendezvous server's address, kept as text.
/// - "server_tls": TLS on the server link. "0", "false", "no", "off" (any letter case) or an empty
///   value leave it off; any other value turns it on, so that a mistyped value never falls back
///   to a link in the clear.
/// - "server_ca_file": a file of PEM CA certificates that alone are trusted for the server link,
///   instead of the system's. Its value is the whole rest of the line (trimmed), colons included,
///   so that a Windows path such as C:\velmora\ca.pem reads whole. Naming one turns TLS on too.
class ClientConfig
{
public:
    /// Reads `fileName`, looked up in the working directory when relative.
    void read(const QString &fileName = QStringLiteral("velmora.conf"));

    const QString &serverHost() const { return host; }
    const QString &serverPort() const { return port; }
    bool serverTls() const { return tls || !caFile.isEmpty(); }
    const QString &serverCaFile() const { return caFile; }

private:
    QString host;
    QString port;
    bool tls = false;
    QString caFile;
};

#pragma once

#include <QByteArray>
#include <QString>

// The VNC password file: 8 bytes, the password DES-encrypted under the fixed key that VNC servers
// decode their stored passwords with.
namespace credentials {

// The fixed DES key of VNC password files, in the least-significant-bit-first order that
// des::setKey takes.
extern const unsigned char vncPasswordKey[8];

// The 8-byte plaintext block for `password`: its first 8 UTF-16 code units, UTF-8 encoded, up to
// (not including) the first zero byte and at most 8 bytes, zero-padded to 8. The cut may split a
// multi-byte character; U+0000 ends the password.
QByteArray vncPasswordBlock(const QString &password);

// The 8 bytes of the password file for `password`. Sets the process-wide DES key schedule.
QByteArray encodeVncPassword(const QString &password);

// The password that the 8 bytes of a password file hold: the decrypted block up to its first zero
// byte, read as UTF-8. A null string when `file` is not 8 bytes long. Sets the process-wide DES
// key schedule. For tools and tests; the agent itself only encodes.
QString decodeVncPassword(const QByteArray &file);

// Stores `data` as the file `fileName`, readable and writable by its owner only, and returns true
// only if the file now holds exactly those bytes. The bytes go to a new owner-only file next to
// it, which then replaces `fileName` in one step, so a failure leaves any older file untouched and
// no reader ever sees a partial file. An older file is replaced whatever its permissions allowed
// others; a symbolic link of that name is itself replaced, never followed, so no file elsewhere is
// overwritten. Returns false without any change when `fileName` is empty, names a directory or an
// existing file its owner made read-only, or its folder cannot be written.
bool writePasswordFile(const QString &fileName, const QByteArray &data);

} // namespace credentials

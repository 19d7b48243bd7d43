// Prints the session password that an agent's password file holds, for the demo script: without
// a display the agent's window, which shows it, cannot be seen.
#include "credentials/vncpasswordfile.h"

#include <QFile>
#include <QTextStream>

int main(int argc, char **argv)
{
    QTextStream err(stderr);
    if (argc != 2) {
        err << "usage: velmora-readpassword PASSWORD-FILE\n";
        return 2;
    }
    QFile file(QFile::decodeName(argv[1]));
    if (!file.open(QIODevice::ReadOnly)) {
        err << "velmora-readpassword: cannot read " << file.fileName() << ": " << file.errorString()
            << "\n";
        return 1;
    }
    const QString password = credentials::decodeVncPassword(file.read(9));
    if (password.isNull()) {
        err << "velmora-readpassword: " << file.fileName() << " is not an 8-byte password file\n";
        return 1;
    }
    QTextStream(stdout) << password << "\n";
    return 0;
}

#include "oshelpers.h"

#include <QFile>

bool processGone(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    // "pid (command) state ...": the command may hold spaces or parentheses, the state follows
    // the last ')'.
    const QByteArray text = stat.readAll();
    const int close = text.lastIndexOf(')');
    if (close < 0 || close + 2 >= text.size())
        return true;
    const char state = text.at(close + 2);
    return state == 'Z' || state == 'X';
}

OpenFileLimit::OpenFileLimit()
{
    if (getrlimit(RLIMIT_NOFILE, &saved) != 0)
        return;
    // Any limit at or below the lowest free descriptor would do, but a descriptor that the code
    // under test closes just before opening a new one would be below it: zero leaves no room.
    rlimit lowered = saved;
    lowered.rlim_cur = 0;
    active = setrlimit(RLIMIT_NOFILE, &lowered) == 0;
}

OpenFileLimit::~OpenFileLimit()
{
    if (active)
        setrlimit(RLIMIT_NOFILE, &saved);
}

#include "oshelpers.h"

#include <QDir>
#include <QFile>
#include <QMultiHash>

#include <csignal>

#include <sys/types.h>

namespace {

struct ProcessStat
{
    char state = 0;
    qint64 parent = 0;
};

// From /proc/PID/stat, "pid (command) state ppid ...": the command may hold spaces or
// parentheses, the state follows the last ')'. State 0 when the process does not exist.
ProcessStat readStat(qint64 pid)
{
    ProcessStat out;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return out;
    const QByteArray text = stat.readAll();
    const int close = text.lastIndexOf(')');
    if (close < 0)
        return out;
    const QList<QByteArray> fields = text.mid(close + 2).split(' ');
    if (fields.size() < 2 || fields.at(0).isEmpty())
        return out;
    out.state = fields.at(0).at(0);
    out.parent = fields.at(1).toLongLong();
    return out;
}

bool isRunning(const ProcessStat &stat)
{
    return stat.state != 0 && stat.state != 'Z' && stat.state != 'X';
}

} // namespace

bool processGone(qint64 pid)
{
    return !isRunning(readStat(pid));
}

bool killProcess(qint64 pid)
{
    return ::kill(pid_t(pid), SIGKILL) == 0;
}

QList<qint64> runningDescendants(qint64 pid)
{
    QMultiHash<qint64, qint64> children;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool isPid = false;
        const qint64 child = entry.toLongLong(&isPid);
        if (!isPid)
            continue;
        const ProcessStat stat = readStat(child);
        if (isRunning(stat))
            children.insert(stat.parent, child);
    }
    QList<qint64> out;
    QList<qint64> pending{pid};
    while (!pending.isEmpty()) {
        const QList<qint64> next = children.values(pending.takeFirst());
        out += next;
        pending += next;
    }
    return out;
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

// Operating-system facts and conditions that the launcher tests need (oshelpers.cpp on Linux,
// oshelpers_win.cpp on Windows).
#pragma once

#include <QList>
#include <QtGlobal>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

/// True when no process `pid` runs any more: it does not exist or is a zombie that nobody has
/// reaped yet (an orphan's parent here may be an init that does not reap).
bool processGone(qint64 pid);

/// Ends process `pid` at once, as a crash or the task manager would; false when that fails.
bool killProcess(qint64 pid);

/// The processes that descend from `pid` (children, their children, ...) and still run.
QList<qint64> runningDescendants(qint64 pid);

/// For its lifetime, lowers the soft limit on open files to zero, so that every socket or file this
/// process tries to open fails with EMFILE; descriptors already open stay usable. The old limit is
/// restored on destruction. Windows has no such limit to lower: there it is never active.
class OpenFileLimit
{
public:
    OpenFileLimit();
    ~OpenFileLimit();
    OpenFileLimit(const OpenFileLimit &) = delete;
    OpenFileLimit &operator=(const OpenFileLimit &) = delete;

    bool isActive() const { return active; }

private:
#ifdef Q_OS_UNIX
    rlimit saved{};
#endif
    bool active = false;
};

// Operating-system facts and conditions that the launcher tests need (Linux).
#pragma once

#include <QList>
#include <QtGlobal>

#include <sys/resource.h>

/// True when no process `pid` runs any more: it does not exist or is a zombie that nobody has
/// reaped yet (an orphan's parent here may be an init that does not reap).
bool processGone(qint64 pid);

/// The processes that descend from `pid` (children, their children, ...) and still run.
QList<qint64> runningDescendants(qint64 pid);

/// For its lifetime, lowers the soft limit on open files to zero, so that every socket or file this
/// process tries to open fails with EMFILE; descriptors already open stay usable. The old limit is
/// restored on destruction.
class OpenFileLimit
{
public:
    OpenFileLimit();
    ~OpenFileLimit();
    OpenFileLimit(const OpenFileLimit &) = delete;
    OpenFileLimit &operator=(const OpenFileLimit &) = delete;

    bool isActive() const { return active; }

private:
    rlimit saved{};
    bool active = false;
};

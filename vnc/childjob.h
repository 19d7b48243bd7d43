// Ties the programs that a launcher starts to the agent's own lifetime.
#pragma once

#include <QtGlobal>

class QProcess;

/// On Windows, a job object that ends every program assigned to it when the job is destroyed or
/// when the agent's process ends, however it ends (a crash, the task manager): a child process
/// there outlives its parent otherwise, and a VNC server left running keeps the desktop open.
/// Elsewhere it does nothing (the Linux stand-ins watch their parent themselves).
class ChildJob
{
public:
    ChildJob();
    ~ChildJob();
    ChildJob(const ChildJob &) = delete;
    ChildJob &operator=(const ChildJob &) = delete;

    /// Assigns the running program of `process` to the job. False when that is not possible (on
    /// Windows 7, for one, when the agent itself runs in a job that allows no nesting).
    bool adopt(const QProcess &process);

private:
#ifdef Q_OS_WIN
    void *job = nullptr; // HANDLE; never inherited by the children
#endif
};

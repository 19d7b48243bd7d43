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

    /// Before `process` starts: on Windows its program is created suspended, so that it starts
    /// nothing before adopt() has put it into the job.
    void prepare(QProcess &process);
    /// After `process` has started: assigns its program to the job and then lets it run (it runs
    /// also when the assignment fails; that writes a debug line). False when the program is not in
    /// the job: not started, not on Windows, or refused (on Windows 7, for one, when the agent
    /// itself runs in a job that allows no nesting).
    bool adopt(QProcess &process);

private:
#ifdef Q_OS_WIN
    void *job = nullptr; // HANDLE; never inherited by the children
#endif
};

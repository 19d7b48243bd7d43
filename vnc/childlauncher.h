// What the two launchers of local programs share: the free port, the process, its log and its job.
#pragma once

#include "vnc/childjob.h"

#include <QString>

#include <memory>

class QProcess;
class QTcpSocket;

/// Holds one launcher's program: the probe socket that keeps its port, its process object and the
/// job that ends it with the agent. A launcher calls bindFreePort(), then newProcess() and
/// connects to the process object, then start(). Destroying it (or a new process object) ends a
/// program that still runs; the process object's signals about that end reach nobody.
class ChildLauncher
{
public:
    ChildLauncher();
    ~ChildLauncher();
    ChildLauncher(const ChildLauncher &) = delete;
    ChildLauncher &operator=(const ChildLauncher &) = delete;

    /// Replaces the probe socket with a new one bound to a port that the operating system picks on
    /// any local address, shared so that the program can listen there (see bindFreePort() in
    /// vnc/launch.h). The port as decimal text, or empty when the bind fails.
    QString bindFreePort();
    /// A new parentless process object in place of the last one.
    QProcess &newProcess();
    /// Starts `commandLine` on the process object with both output streams in `logFile`; on
    /// Windows the program starts suspended and runs only once it is in the job, so that nothing
    /// it starts escapes the job.
    void start(const QString &commandLine, const QString &logFile);

private:
    // Declared first: destroyed after `process`, so that it ends nothing that Qt still waits for.
    ChildJob childJob;
    std::unique_ptr<QProcess> process;
    // Stays bound, holding the chosen port, until the next bindFreePort() or destruction.
    std::unique_ptr<QTcpSocket> portSocket;
};

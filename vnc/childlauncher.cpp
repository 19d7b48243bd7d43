#include "vnc/childlauncher.h"

#include "vnc/launch.h"

#include <QProcess>
#include <QTcpSocket>

ChildLauncher::ChildLauncher() = default;

ChildLauncher::~ChildLauncher()
{
    // Destroying the process object kills the program and waits for it, and the process object
    // reports that end to whoever connected to it; that launcher is half gone by then.
    if (process)
        process->disconnect();
}

QString ChildLauncher::bindFreePort()
{
    return ::bindFreePort(portSocket);
}

QProcess &ChildLauncher::newProcess()
{
    process.reset(new QProcess);
    return *process;
}

void ChildLauncher::start(const QString &commandLine, const QString &logFile)
{
    logBothStreams(*process, logFile);
    childJob.prepare(*process);
    startCommandLine(*process, commandLine);
    childJob.adopt(*process);
}

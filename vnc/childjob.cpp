#include "vnc/childjob.h"

#include <QProcess>

#ifdef Q_OS_WIN
#include <QDebug>

#include <windows.h>
#endif

#ifdef Q_OS_WIN

ChildJob::ChildJob() : job(CreateJobObjectW(nullptr, nullptr))
{
    if (!job)
        return;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        job = nullptr;
    }
}

ChildJob::~ChildJob()
{
    if (job)
        CloseHandle(job); // ends whatever still runs in it
}

void ChildJob::prepare(QProcess &process)
{
    process.setCreateProcessArgumentsModifier(
        [](QProcess::CreateProcessArguments *arguments) { arguments->flags |= CREATE_SUSPENDED; });
}

bool ChildJob::adopt(QProcess &process)
{
    // Qt keeps the handles of the process and of its main thread, which only this gives out.
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    const PROCESS_INFORMATION *info = process.pid();
    QT_WARNING_POP
    if (!info)
        return false;
    const bool assigned = job && AssignProcessToJobObject(job, info->hProcess);
    if (!assigned)
        qDebug() << "Job assignment failed for" << process.program() << GetLastError();
    ResumeThread(info->hThread);
    return assigned;
}

#else

ChildJob::ChildJob() = default;

ChildJob::~ChildJob() = default;

void ChildJob::prepare(QProcess &) {}

bool ChildJob::adopt(QProcess &)
{
    return false;
}

#endif

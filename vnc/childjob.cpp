#include "vnc/childjob.h"

#include <QProcess>

#ifdef Q_OS_WIN
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

bool ChildJob::adopt(const QProcess &process)
{
    if (!job || process.processId() == 0)
        return false;
    HANDLE child =
        OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, DWORD(process.processId()));
    if (!child)
        return false;
    const bool assigned = AssignProcessToJobObject(job, child);
    CloseHandle(child);
    return assigned;
}

#else

ChildJob::ChildJob() = default;

ChildJob::~ChildJob() = default;

bool ChildJob::adopt(const QProcess &)
{
    return false;
}

#endif

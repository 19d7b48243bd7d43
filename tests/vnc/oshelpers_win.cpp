#include "oshelpers.h"

#include <QMultiHash>

#include <windows.h>

#include <tlhelp32.h>

bool processGone(qint64 pid)
{
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid));
    if (!process)
        return true;
    const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

bool killProcess(qint64 pid)
{
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(pid));
    if (!process)
        return false;
    const bool ended = TerminateProcess(process, 1);
    CloseHandle(process);
    return ended;
}

QList<qint64> runningDescendants(qint64 pid)
{
    QMultiHash<qint64, qint64> children;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return {};
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if (!processGone(entry.th32ProcessID))
            children.insert(entry.th32ParentProcessID, entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    QList<qint64> out;
    QList<qint64> pending{pid};
    while (!pending.isEmpty()) {
        const QList<qint64> next = children.values(pending.takeFirst());
        out += next;
        pending += next;
    }
    return out;
}

OpenFileLimit::OpenFileLimit() = default;

OpenFileLimit::~OpenFileLimit() = default;

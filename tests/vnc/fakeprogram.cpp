#include "fakeprogram.h"

#include <QDir>
#include <QFile>
#include <QTextStream>

namespace {

QString recordPath(const QTemporaryDir &folder)
{
    return folder.filePath(QStringLiteral("runs.tsv"));
}

QString endingPath(const QTemporaryDir &folder)
{
    return folder.filePath(QStringLiteral("ending"));
}

#ifndef Q_OS_WIN
// Single-quoted for bash; the temporary folder names contain no quote.
QString quoted(const QString &path)
{
    return QLatin1Char('\'') + path + QLatin1Char('\'');
}
#endif

} // namespace

FakeProgram::FakeProgram(const QString &name) : savedPath(qgetenv("PATH"))
{
    if (!folder.isValid())
        return;
#ifdef Q_OS_WIN
    // A compiled stand-in that behaves as the script below does.
    if (!QFile::copy(QStringLiteral(VELMORA_TEST_STANDIN), folder.filePath(name)))
        return;
    qputenv("PATH", QFile::encodeName(QDir::toNativeSeparators(folder.path())) + ';' + savedPath);
#else
    // One line per run: pid, working directory and arguments, tab-separated, written with a
    // single append.
    const QString script =
        QStringLiteral("#!/bin/bash\n"
                       "line=$$$'\\t'\"$PWD\"\n"
                       "for arg in \"$@\"; do line+=$'\\t'\"$arg\"; done\n"
                       "printf '%s\\n' \"$line\" >>%1\n"
                       "echo 'out 1'; echo 'err 1' >&2; echo 'out 2'; echo 'err 2' >&2\n"
                       "ending=$(cat %2 2>/dev/null)\n"
                       "case \"$ending\" in\n"
                       "exit:*) exit \"${ending#exit:}\" ;;\n"
                       "selfkill) kill -KILL $$ ;;\n"
                       "esac\n"
                       "read -r _\n")
            .arg(quoted(recordPath(folder)), quoted(endingPath(folder)));
    QFile file(folder.filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(script.toUtf8()) < 0)
        return;
    file.close();
    if (!file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        return;
    qputenv("PATH", QFile::encodeName(folder.path()) + ':' + savedPath);
#endif
    valid = true;
}

int FakeProgram::selfKillExitCode()
{
#ifdef Q_OS_WIN
    return int(0xC0000005u); // the compiled stand-in's crash-like end
#else
    return 9; // SIGKILL
#endif
}

FakeProgram::~FakeProgram()
{
    qputenv("PATH", savedPath);
}

void FakeProgram::setEnding(Ending ending, int exitCode)
{
    QFile file(endingPath(folder));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return;
    switch (ending) {
    case Ending::Wait:
        break;
    case Ending::Exit:
        file.write("exit:" + QByteArray::number(exitCode));
        break;
    case Ending::SelfKill:
        file.write("selfkill");
        break;
    }
}

QVector<FakeProgram::Run> FakeProgram::runs() const
{
    QVector<Run> out;
    QFile file(recordPath(folder));
    if (!file.open(QIODevice::ReadOnly))
        return out;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.isEmpty())
            continue;
        QStringList fields = QString::fromUtf8(line).split(QLatin1Char('\t'));
        if (fields.size() < 2)
            continue;
        Run run;
        run.pid = fields.takeFirst().toLongLong();
        run.workingDirectory = fields.takeFirst();
        run.arguments = fields;
        out << run;
    }
    return out;
}

bool FakeProgram::isValid() const
{
    return valid;
}

// A small script standing in for an outside program, for tests of the code that launches it.
#pragma once

#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVector>

/// Writes an executable bash script called `name` into a private folder and puts that folder first
/// on PATH for the life of the object (PATH is restored on destruction). Each run of the script
/// appends a record of itself, then writes "out 1", "err 1", "out 2", "err 2" as lines, alternating
/// between standard output and standard error, and then ends as setEnding() says.
class FakeProgram
{
public:
    explicit FakeProgram(const QString &name);
    ~FakeProgram();
    FakeProgram(const FakeProgram &) = delete;
    FakeProgram &operator=(const FakeProgram &) = delete;

    struct Run
    {
        qint64 pid = 0;
        QString workingDirectory;
        QStringList arguments;
    };

    enum class Ending {
        Wait,     // until standard input closes or the script is killed (the default)
        Exit,     // exit with the given code
        SelfKill, // die of SIGKILL
    };
    /// Applies to the runs that start after the call.
    void setEnding(Ending ending, int exitCode = 0);

    /// The exit code that the process object reports after Ending::SelfKill.
    static int selfKillExitCode();

    /// Every run recorded so far, oldest first.
    QVector<Run> runs() const;
    bool isValid() const;

private:
    QTemporaryDir folder;
    QByteArray savedPath;
    bool valid = false;
};

Q_DECLARE_METATYPE(FakeProgram::Ending)

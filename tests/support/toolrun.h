// Runs a command-line tool to its end, for tests that look at a desktop through X tools.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

struct ToolResult
{
    /// -1 when the tool did not end normally within 30 s.
    int exitCode = -1;
    /// Standard output and standard error, merged.
    QByteArray output;
};

ToolResult runTool(const QString &program, const QStringList &arguments,
                   const QProcessEnvironment &environment);

/// Whether the agent's window shows in `image`: its status line's background, rgb(0, 170, 0),
/// appears somewhere.
bool hasStatusGreen(const QImage &image);

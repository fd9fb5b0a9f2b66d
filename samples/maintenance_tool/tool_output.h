#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// The tool's standard output and standard error, written unbuffered so that their bytes reach a
// merged pipe in the order the tool produced them.
class ToolOutput
{
public:
    ToolOutput();

    void line(const QString &text);
    void errorLine(const QString &text);

    // Writes exactly `bytes` filler bytes ('~'), in 64 KiB pieces alternating between standard
    // output and standard error, from one reused buffer.
    void flood(qint64 bytes);

private:
    static void write(QFile &channel, const QByteArray &bytes);

    QFile out;
    QFile err;
};

#include "tool_output.h"

#include <cstdio>

namespace {

constexpr qint64 FloodChunkSize = 65536;

} // namespace

ToolOutput::ToolOutput()
{
    out.open(fileno(stdout), QIODevice::WriteOnly | QIODevice::Unbuffered);
    err.open(fileno(stderr), QIODevice::WriteOnly | QIODevice::Unbuffered);
}

void ToolOutput::line(const QString &text)
{
    write(out, text.toUtf8() + '\n');
}

void ToolOutput::errorLine(const QString &text)
{
    write(err, text.toUtf8() + '\n');
}

void ToolOutput::flood(qint64 bytes)
{
    const QByteArray chunk(FloodChunkSize, '~');
    bool toOut = true;
    while (bytes > 0) {
        const qint64 size = qMin(bytes, FloodChunkSize);
        write(toOut ? out : err, size == FloodChunkSize ? chunk : chunk.left(size));
        bytes -= size;
        toOut = !toOut;
    }
}

void ToolOutput::write(QFile &channel, const QByteArray &bytes)
{
    // A closed or broken channel is not the tool's problem: it goes on with the update.
    if (channel.isOpen())
        channel.write(bytes);
}

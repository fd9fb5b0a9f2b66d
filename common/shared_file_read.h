#pragma once

#include <QByteArray>
#include <QString>

// Reading a small file that another process replaces atomically (the handoff file).
namespace SharedFileRead {

// Reads at most maxSize bytes from the start of the file at `path` into `content`. False when the
// file cannot be opened (a missing one included) or a read fails; `content` is then unchanged.
//
// On Windows, Qt opens files without FILE_SHARE_DELETE, and while such a reader holds the file
// the writer's atomic replacement fails. This read opens it with FILE_SHARE_DELETE, so the two
// sides of the handoff never stand in each other's way; the writer's retry
// (AtomicReplacement) is left for third parties. Elsewhere a plain QFile read: a rename over an
// open file always succeeds there.
bool read(const QString &path, qint64 maxSize, QByteArray &content);

} // namespace SharedFileRead

#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QString>

#include <functional>

class QSaveFile;

// Replacing a file's whole content in one step through QSaveFile: the new content goes to a
// temporary file beside the target, which is moved over the target on commit.
//
// On Windows that move fails ("Access denied") while any other process has the target open
// without FILE_SHARE_DELETE, which is how Qt and most programs open files: the other side of the
// handoff polling the file, a virus scanner looking at a fresh one. Such a hold lasts
// milliseconds, so a failed move is tried again for a short, bounded while before the
// replacement counts as failed.
namespace AtomicReplacement {

// How long a failed move is tried again, counted from the first failure, and the pause between
// tries. The helper waits on its GUI thread: two seconds at most, and only in this rare case.
constexpr int RetryTimeLimit = 2000;
constexpr int RetryInterval = 50;

// Opens a QSaveFile on `path` with `mode` (WriteOnly, optionally Unbuffered), lets `write` fill
// it and commits it. When `write` returns false (a read or write error) the save file is
// discarded and the result is false at once; so it is when the save file cannot be opened. When
// the commit fails at the move over the target (QFileDevice::RenameError), the whole replacement
// is made again, every RetryInterval ms, until RetryTimeLimit ms have passed since the first
// failure: `write` may thus run several times, each time on a fresh, empty save file. Either way
// the target keeps its old content unless the result is true.
bool replace(const QString &path, QIODevice::OpenMode mode,
             const std::function<bool(QSaveFile &)> &write);

// replace() with `content` as the whole new content.
bool replaceContents(const QString &path, const QByteArray &content);

} // namespace AtomicReplacement

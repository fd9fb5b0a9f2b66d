#pragma once

class QFile;
class QSaveFile;
class QString;

namespace BackupFileCopy {

// Copies the permission bits (where the platform has them) and every byte of source, open for
// reading at its start, into target, open for writing and empty, reading until the source's
// end. False on a read error or a write that did not take every byte; the caller then discards
// target, and commits it otherwise. At most 1 MiB of the file is held in memory at a time.
bool copyContents(QFile &source, QSaveFile &target);

// True when the file at `target` is a regular file that holds exactly the bytes of the one at
// `source` and, where the platform has them, the same permission bits, so that copying `source`
// over it would change nothing. Compares the sizes first, then the bits, then the bytes, holding
// at most 1 MiB of them in memory at a time. Any doubt (a file missing or not a regular one, a
// read error) gives false. A FIFO in the place of `target` never makes it wait.
bool sameFile(const QString &source, const QString &target);

} // namespace BackupFileCopy

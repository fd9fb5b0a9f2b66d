#pragma once

class QFile;
class QSaveFile;

namespace BackupFileCopy {

// Copies the permission bits (where the platform has them) and every byte of source, open for
// reading at its start, into target, open for writing and empty, reading until the source's
// end. False on a read error or a write that did not take every byte; the caller then discards
// target, and commits it otherwise. At most 1 MiB of the file is held in memory at a time.
bool copyContents(QFile &source, QSaveFile &target);

} // namespace BackupFileCopy

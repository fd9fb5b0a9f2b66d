#pragma once

class QFile;

// Opens the update log named by file.fileName() for writing, truncated. On Unix the system
// temporary directory may be shared between users, so the log is never opened through a symbolic
// link and must be a regular file: anything else counts as a log that cannot be opened.
bool openUpdateLog(QFile &file);

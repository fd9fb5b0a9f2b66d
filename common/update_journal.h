#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// The record that an update of an installation is under way: kept in the temporary directory
// beside the installation lock from the moment the backup is complete until the installation is
// consistent again. A record found by a helper that holds the lock was left by one that died
// while the installation was being changed; its backup has to go back first. The client kit
// looks for it too, so both take the file names from here.
namespace UpdateJournal {

// "Kestrova-update-" + the SHA-256 of the installation's key: the case-folded canonical path of
// the client executable. Once that file is gone (an installer removes every old file before it
// unpacks the new ones), its canonical path is empty; the key is then the canonical path of the
// nearest directory of it that still exists, with the rest of the path as given. Both spell the
// same text for a client that is not itself a symbolic link, so a helper that finds the client
// and one that does not still meet at one lock and one record.
QString baseName(const QString &applicationPath);

// baseName + ".lock" in the system temporary directory: one name per installation, however its
// path is spelled.
QString lockFilePath(const QString &applicationPath);

// The same name with ".journal" in place of ".lock".
QString filePath(const QString &applicationPath);

// The same two from the base name itself, for a run that is told only that.
QString lockFilePathOf(const QString &baseName);
QString filePathOf(const QString &baseName);

// The first 32 of the key's 64 hex digits: how the logon entry names the installation, since
// Windows runs only short commands at logon. 128 bits tell a user's installations apart as
// surely as 256.
QString shortKey(const QString &baseName);
bool isShortKey(const QString &text);

// The base name whose key starts with shortKey, as the locks and records in the temporary
// directory and the given names (of logon entries) spell it; empty unless exactly one does.
QString baseNameOf(const QString &shortKey, const QStringList &names);

struct SavedFile
{
    QString path; // relative to the installation, "/" separators
    qint64 size = 0;
};

struct Record
{
    QString installationDirectory;
    QString backupDirectory;
    QList<SavedFile> files;
    // The interrupted run's options but its handoff file: the run that a logon entry starts is
    // told nothing else. Empty in a record of the first format, which did not keep them.
    QString applicationPath;
    QStringList applicationArguments;
    QString maintenanceToolPath;
    QString repositoryUrl;
    QString expectedVersion;
};

enum class ReadResult {
    Missing, // no record: nothing was interrupted
    Read,
    Damaged, // there is something at the path, but not a whole record
};

// Writes the record atomically and makes it durable: the file is synced before it replaces any
// old one, and on Linux its directory is synced after the move.
bool write(const QString &path, const Record &record);

ReadResult read(const QString &path, Record &record);

// True when the backup directory holds every saved file as a regular file of its recorded size.
bool backupIsWhole(const Record &record);

// Removes the record and syncs its directory, so that the removal is durable before the backup
// it names goes. True also when there was no record.
bool remove(const QString &path);

} // namespace UpdateJournal

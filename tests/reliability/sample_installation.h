#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// One sample installation for a black-box run of the helper, laid out below a directory of its
// own: a temporary directory, the installation with the sample client under a file name of its
// own (running copies are found by file name across the whole machine), a repository, a handoff
// file and the records of the sample programs. The content of every file of the installed
// version and of the update is remembered by digest, so that a test can tell for each file on
// disk whether it holds the old content, the new content or neither.
class SampleInstallation
{
public:
    enum class Expected { Old, New, OldOrNew };

    // Only names the paths; the members may be changed before create() lays everything out.
    SampleInstallation(const QString &base, const QString &name);

    // Writes the installed version (1.0.0) and an update to 2.0.0 that changes two files, adds
    // one and leaves one alone; repositoryIni goes into the repository's repository.ini.
    bool create(const QString &repositoryIni, QString &error);

    bool writeOld(const QString &relativePath, const QByteArray &content);
    bool writeNew(const QString &relativePath, const QByteArray &content);
    // A file of size bytes of one repeated value, written in pieces.
    bool writeOldOfSize(const QString &relativePath, char value, qint64 size);

    // The files on disk that break the expectation, one line each, empty when there is none.
    // Files the update adds may stay after a rollback (Old) and may be absent before the update
    // ran (Old, OldOrNew); every file of the installed version must be there in every case.
    // copy: a directory that mirrors the installation (a backup) to look at instead.
    QString mismatches(Expected expected, const QStringList &ignored = {},
                       const QString &copy = QString()) const;

    QStringList helperArguments(const QStringList &extra = {}) const;
    QProcessEnvironment environment(const QString &display, const QString &runtimeDirectory) const;

    QString logPath() const { return tmp + QStringLiteral("/Corvane-update.log"); }
    QByteArray log() const;
    QByteArray handoffRecord() const;
    QList<QJsonObject> launches() const;
    // The sample tool's runs in start order: for each, its eight arguments decoded, and whether it
    // recorded its end.
    QList<QStringList> toolArguments() const;
    int toolRuns() const { return toolArguments().size(); }
    int finishedToolRuns() const;
    // Entries of the temporary directory besides the update log.
    QStringList leftovers() const;

    QString base;
    QString tmp;
    QString directory;
    QString clientPath;
    QString repository;
    QString handoff;
    QString launchRecord;
    QString toolRecord;

private:
    QMap<QString, QByteArray> oldDigests;
    QMap<QString, QByteArray> newDigests;
};

#pragma once

#include <QTest>

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

// One sample installation for an update, below a directory of its own: the installation at 1.0.0
// with a copy of the sample client under a file name of its own (running copies are found by
// file name across the whole machine), a repository with an update to 2.0.0 that changes two
// files and adds one, a handoff file and the records the sample programs keep. Every file of
// either version is remembered by digest, so that a test can tell for each file on disk whether
// it is old, new or neither.
class SampleInstallation
{
public:
    enum class Expected { Old, New, OldOrNew };

    // Only names the paths; they may be changed before create() lays everything out.
    SampleInstallation(const QString &base, const QString &clientFileName);

    // clientSource: the sample client program; repositoryIni: lines of the repository's
    // repository.ini, which tells the sample tool how to behave.
    bool create(const QString &clientSource, const QString &repositoryIni, QString &error);

    bool writeOld(const QString &relativePath, const QByteArray &content);
    bool writeNew(const QString &relativePath, const QByteArray &content);

    // The files that break the expectation, one line each; empty when none does. Every file of
    // the installed version must be there; files the update adds may stay after a rollback.
    // copy: a directory that mirrors the installation (a kept backup) to look at instead.
    QString mismatches(Expected expected, const QStringList &ignored = {},
                       const QString &copy = QString()) const;

    // The four required options, each as one --name=value argument, then extra.
    QStringList helperArguments(const QString &toolPath, const QStringList &extra = {}) const;
    QList<QJsonObject> launches() const;
    // The arguments of each of the sample tool's runs, in start order (as it records them: with
    // backslashes and line breaks escaped).
    QList<QStringList> toolRuns() const;

    QString base;
    // The home folder of the user the programs run as (their local data folder lies below it).
    QString profile;
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

// Fails the test, listing the files, when the installation does not hold what is expected.
#define VERIFY_FILES(installation, ...) \
    do { \
        const QString found = (installation).mismatches(__VA_ARGS__); \
        QVERIFY2(found.isEmpty(), qPrintable(found)); \
    } while (false)

#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

// Small file helpers shared by the tests of the sample programs and of the client kit.

inline void writeFile(const QString &path, const QByteArray &content)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path + QLatin1String(": ") + file.errorString()));
    QCOMPARE(file.write(content), content.size());
}

// "<missing>" when the file cannot be read, so that a comparison failure says so.
inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Permission bits for owner, group and others, without Qt's duplicate "user" bits.
constexpr QFile::Permissions OwnerGroupOther(0x7077);

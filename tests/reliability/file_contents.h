#pragma once

#include <QByteArray>
#include <QString>

// File helpers of the reliability tests.
namespace FileContents {

// Empty when the file cannot be read.
QByteArray read(const QString &path);
// Creates the missing directories; truncates an existing file in place.
bool write(const QString &path, const QByteArray &content);
// Replaces the file in one step, as a well-behaved client writes its handoff record.
bool replace(const QString &path, const QByteArray &content);
// SHA-256 of the file's content, read in pieces; empty when the file cannot be read.
QByteArray digest(const QString &path);

} // namespace FileContents

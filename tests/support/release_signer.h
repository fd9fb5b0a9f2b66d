#pragma once

#include <QString>
#include <QStringList>

// A publisher's key pair, made for the run with Debian's minisign (-G, no password), and the
// publisher's steps on a repository folder: its manifest written by the publisher program
// (updater_manifest), then signed with minisign -S.
class ReleaseSigner
{
public:
    // Makes the key pair in directory; manifestTool is the publisher program.
    bool create(const QString &directory, const QString &manifestTool, QString &error);

    // The public key in minisign's text form, as a client compiles it in.
    QString publicKey() const;
    QString publicKeyPath() const { return directory + QStringLiteral("/minisign.pub"); }

    // updater_manifest with arguments (--release-version 2.0.0 ...) on repository, then sign().
    bool publish(const QString &repository, const QStringList &arguments, QString &error) const;
    // Signs repository's release.manifest as it stands, with minisign -S and options (such as
    // -t COMMENT, or -l for the legacy format).
    bool sign(const QString &repository, QString &error, const QStringList &options = {}) const;
    // True when minisign -V accepts the repository's manifest and signature with this key.
    bool minisignVerifies(const QString &repository) const;

private:
    QString directory;
    QString manifestTool;
};

#include "sample_repository.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QUrl>

#include <limits>

namespace {

// QSettings turns a value containing a comma into a list; the keys here want the raw text.
QString settingText(const QSettings &settings, const QString &key)
{
    const QVariant value = settings.value(key);
    if (value.userType() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

bool readFlag(const QSettings &settings, const QString &key, bool &flag, QString &error)
{
    if (!settings.contains(key))
        return true;
    const QString text = settingText(settings, key).trimmed().toLower();
    if (text == QLatin1String("true")) {
        flag = true;
    } else if (text == QLatin1String("false")) {
        flag = false;
    } else {
        error = QStringLiteral("repository.ini: %1 must be true or false, not \"%2\"")
                        .arg(key, text);
        return false;
    }
    return true;
}

template<typename Number>
bool readNumber(const QSettings &settings, const QString &key, Number minimum, Number &number,
                QString &error)
{
    if (!settings.contains(key))
        return true;
    const QString text = settingText(settings, key).trimmed();
    bool ok = false;
    const qlonglong value = text.toLongLong(&ok);
    if (!ok || value < minimum || value > std::numeric_limits<Number>::max()) {
        error = QStringLiteral("repository.ini: %1 has the invalid value \"%2\"").arg(key, text);
        return false;
    }
    number = Number(value);
    return true;
}

// Removal paths come from the repository, so they must stay inside the installation.
bool isSafeRelativePath(const QString &path)
{
    if (path.isEmpty() || QDir::isAbsolutePath(path) || path.contains(QLatin1Char('\\'))
        || path.contains(QLatin1Char(':')))
        return false;
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    return !parts.isEmpty() && !parts.contains(QLatin1String(".."))
            && !parts.contains(QLatin1String("."));
}

// The keys of the settings' current group; a key that is not there leaves its value as it was.
bool readKeys(const QSettings &settings, SampleRepository &repository, QString &error)
{
    if (!readNumber(settings, QStringLiteral("exitCode"), std::numeric_limits<int>::min(),
                    repository.exitCode, error)
        || !readFlag(settings, QStringLiteral("applyPayload"), repository.applyPayload, error)
        || !readFlag(settings, QStringLiteral("removeOldFiles"), repository.removeOldFiles, error)
        || !readFlag(settings, QStringLiteral("markers"), repository.markers, error)
        || !readFlag(settings, QStringLiteral("crash"), repository.crash, error)
        || !readNumber(settings, QStringLiteral("floodBytes"), qint64(0), repository.floodBytes,
                       error)
        || !readNumber(settings, QStringLiteral("delayMs"), 0, repository.delayMs, error)
        || !readNumber(settings, QStringLiteral("startDelayMs"), 0, repository.startDelayMs, error)
        || !readNumber(settings, QStringLiteral("leaveRunningMs"), 0, repository.leaveRunningMs,
                       error))
        return false;

    if (settings.contains(QStringLiteral("says")))
        repository.says = settingText(settings, QStringLiteral("says"));
    if (settings.contains(QStringLiteral("waitForFile")))
        repository.waitForFile = settingText(settings, QStringLiteral("waitForFile"));
    const QString waitPoint = settingText(settings, QStringLiteral("waitPoint"));
    if (!waitPoint.isEmpty()) {
        if (!QStringList {QStringLiteral("start"), QStringLiteral("midFile"),
                          QStringLiteral("removed"), QStringLiteral("end")}
                     .contains(waitPoint)) {
            error = QStringLiteral(
                            "repository.ini: waitPoint must be start, midFile, removed or end: %1")
                            .arg(waitPoint);
            return false;
        }
        repository.waitPoint = waitPoint;
    }

    if (settings.contains(QStringLiteral("unsynced"))) {
        repository.unsynced = settingText(settings, QStringLiteral("unsynced"));
        if (!QStringList {QString(), QStringLiteral("inPlace"), QStringLiteral("moved")}.contains(
                    repository.unsynced)) {
            error = QStringLiteral("repository.ini: unsynced must be inPlace or moved: %1")
                            .arg(repository.unsynced);
            return false;
        }
    }

    if (!settings.contains(QStringLiteral("remove")))
        return true;
    repository.remove.clear();
    const QString removeText = settingText(settings, QStringLiteral("remove"));
    for (const QString &entry : removeText.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString path = entry.trimmed();
        if (!isSafeRelativePath(path)) {
            error = QStringLiteral(
                            "repository.ini: remove names a path outside the installation: %1")
                            .arg(path);
            return false;
        }
        repository.remove.append(path);
    }
    return true;
}

} // namespace

bool SampleRepository::load(const QString &location, int run, SampleRepository &repository,
                            QString &error)
{
    QString directory = location;
    if (location.startsWith(QLatin1String("file:"), Qt::CaseInsensitive)) {
        const QUrl url(location);
        if (!url.isValid() || !url.isLocalFile()) {
            error = QStringLiteral("Not a local repository URL: %1").arg(location);
            return false;
        }
        directory = url.toLocalFile();
    }
    if (!QFileInfo(directory).isDir()) {
        error = QStringLiteral("Repository not found: %1").arg(location);
        return false;
    }
    repository.path = QFileInfo(directory).absoluteFilePath();

    const QString iniPath = QDir(repository.path).filePath(QStringLiteral("repository.ini"));
    if (!QFileInfo::exists(iniPath))
        return true;

    QSettings settings(iniPath, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) {
        error = QStringLiteral("repository.ini cannot be read: %1").arg(iniPath);
        return false;
    }
    if (!readKeys(settings, repository, error))
        return false;
    // What this run does differently from the others.
    settings.beginGroup(QStringLiteral("run%1").arg(run));
    return readKeys(settings, repository, error);
}

QString SampleRepository::componentsPath() const
{
    return QDir(path).filePath(QStringLiteral("components.xml"));
}

QString SampleRepository::payloadPath() const
{
    return QDir(path).filePath(QStringLiteral("payload"));
}

#include "ResourceLookup.h"

#include <QDir>
#include <QFile>

namespace resources {

ResourceNotFound::ResourceNotFound(const QString& name)
    : std::runtime_error(QStringLiteral("Resource %1 not found").arg(name).toStdString()) {}

static QString findEntry(const QString& dir, const QString& wanted, QDir::Filters filter) {
    const QStringList entries = QDir(dir).entryList(filter);
    for (const QString& entry : entries) {
        if (entry.compare(wanted, Qt::CaseInsensitive) == 0)
            return dir + QLatin1Char('/') + entry;
    }
    return {};
}

QString findResource(const QString& type, const QString& name) {
    const QString typeDir = findEntry(QStringLiteral(":"), type, QDir::Dirs);
    if (typeDir.isEmpty())
        return {};
    return findEntry(typeDir, name, QDir::Files);
}

QByteArray loadResource(const QString& type, const QString& name) {
    QFile file(findResource(type, name));
    if (file.fileName().isEmpty() || !file.open(QIODevice::ReadOnly))
        throw ResourceNotFound(name);
    return file.readAll();
}

} // namespace resources

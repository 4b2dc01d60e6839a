#include "replaceentry.h"

#include <QFileInfo>

bool ReplaceEntry::hasTarget() const
{
    return !target.isEmpty();
}

bool ReplaceEntry::hasPatch() const
{
    return !patch.isEmpty();
}

QString ReplaceEntry::targetOrName() const
{
    return target.isEmpty() ? name : target;
}

QString ReplaceEntry::relativePath(const QString& prefix) const
{
    QString path = targetOrName();
    if (!prefix.isEmpty()) {
        const QFileInfo info(path);
        const QString folder = info.path();
        path = (folder == QLatin1String(".") ? QString() : folder + QLatin1Char('/')) + prefix
               + info.fileName();
    }
    if (group == QLatin1String("common_client"))
        path = QStringLiteral("SharedSupport/") + path;
    return path;
}

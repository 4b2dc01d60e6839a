#pragma once
// The versions of all update channels as the version service reported them: channel name
// ("stable", "beta", "alpha") to (version number in decimal, version string).  Empty when the
// request or the parse failed.

#include <QHash>
#include <QMetaType>
#include <QPair>
#include <QString>

typedef QHash<QString, QPair<QString, QString>> UpdateVersions;

Q_DECLARE_METATYPE(UpdateVersions)

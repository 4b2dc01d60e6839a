#pragma once
// A download list entry for a file with the given content: its SHA-512 and size.
//
// Header-only; include it from test programs that link updatecore.

#include "downloadentry.h"

#include "common/clientbundle.h"

#include <QByteArray>
#include <QString>

inline DownloadEntry downloadEntryFor(const QString& group, const QString& name, const QByteArray& content)
{
    DownloadEntry e;
    e.group = group;
    e.name = name;
    e.hash = ClientBundle::sha512Hex(content);
    e.size = quint64(content.size());
    return e;
}

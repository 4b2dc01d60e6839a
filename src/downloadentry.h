#ifndef DOWNLOADENTRY_H
#define DOWNLOADENTRY_H

#include <QString>
#include <QtGlobal>

// One file to fetch from the image server: a whole file or a patch.
struct DownloadEntry
{
    QString group; // product list section: the folder on the image server
    QString name;  // remote name below group, and the name in the session temp folder
    QString hash;  // SHA-512 (hex) of the file to fetch
    quint64 size = 0;
};

#endif // DOWNLOADENTRY_H

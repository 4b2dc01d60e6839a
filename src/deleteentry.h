#ifndef DELETEENTRY_H
#define DELETEENTRY_H

#include <QString>

// One installed file or folder to remove; path is relative to the installation folder.
struct DeleteEntry
{
    QString path;
    bool isDir = false;
};

#endif // DELETEENTRY_H

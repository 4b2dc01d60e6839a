#ifndef UPDATELISTS_H
#define UPDATELISTS_H

#include "deleteentry.h"
#include "downloadentry.h"
#include "replaceentry.h"

#include <QList>

// The three lists built from the product list: what to download, what to put in place and what
// to delete. The update pipeline holds one for the run.
struct UpdateLists
{
    QList<DownloadEntry> downloadList;
    QList<ReplaceEntry> replaceList;
    QList<DeleteEntry> deleteList;

    void clear()
    {
        downloadList.clear();
        replaceList.clear();
        deleteList.clear();
    }
};

#endif // UPDATELISTS_H

#ifndef TREEREMOVER_H
#define TREEREMOVER_H

#include <QString>
#include <QStringList>

// Removes folders with everything in them, the way the updater needs it: the tree is reached and
// walked by descriptor, a symbolic link is removed as an entry of its own and never followed, a
// folder of another file system or another mount (a bind mount of the same file system too) is
// never entered, nothing has its permissions changed to get it removed, and a folder that cannot
// be emptied is left as it is.  What could not be removed is named in `failed` when given.
class TreeRemover {
public:
    // Removes the file, link or folder at path; a folder with its whole content.  True when
    // nothing is left at path (also when there was nothing).
    static bool removeTree(const QString& path, QStringList* failed = nullptr);
    // Removes everything inside the folder at path and keeps the folder.  True when it is empty
    // afterwards; false also when path is no folder (a link to one included).
    static bool removeContents(const QString& path, QStringList* failed = nullptr);
};

#endif // TREEREMOVER_H

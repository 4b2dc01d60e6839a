#ifndef TREEREMOVER_H
#define TREEREMOVER_H

#include <QString>

// Removes folders with everything in them, the way the updater needs it: a symbolic link is
// removed as an entry of its own and never followed, nothing has its permissions changed to get
// it removed, and a folder that cannot be emptied is left as it is.
class TreeRemover {
public:
    // Removes the file, link or folder at path; a folder with its whole content.  True when
    // nothing is left at path (also when there was nothing).
    static bool removeTree(const QString& path);
    // Removes everything inside the folder at path and keeps the folder.  True when it is empty
    // afterwards; false also when path is no folder (a link to one included).
    static bool removeContents(const QString& path);
};

#endif // TREEREMOVER_H

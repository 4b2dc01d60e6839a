#ifndef FILEINSTALLTASKSPECIFICATION_H
#define FILEINSTALLTASKSPECIFICATION_H

#include "fastfileoptaskspecification.h"

// Puts a finished new file in place of an installed one.  The installed file first gets a second
// name beside it (a hard link, recorded as a rename so that a rollback renames it back over the
// name) and its owner, group and mode bits are given to the new file; then the new file takes the
// name over in one rename.  The name is never missing: before the rename it is the original's,
// after it the new file's, and a rollback or the start-up restore renames the original back over
// it.  The created-file record of the new file moves with it: it names the installed path
// afterwards (only when nothing was installed there; a replaced file is undone by its original).
// A file kept aside that is already there is never replaced: the install fails instead.  (A
// folder at the installed path has no second name; it is moved aside as it is.)
//
// Nothing is written at the installed path until the new content is complete, checked and on
// stable storage (the replacement step syncs the new files before it installs them), and a running program keeps its own (kept)
// file.  Every call is made by descriptor in the installed file's folder, reached once
// (NoFollowFile): a folder swapped for a link is never entered, a link at the installed name is
// kept aside as a link, and owner and mode are set on the open new file before it takes the name.
class FileInstallTaskSpecification : public FastFileOpTaskSpecification {
    Q_OBJECT

public:
    // Where a new file is written before it is put in place, and where the installed file waits
    // until the whole replacement has succeeded: beside the installed file, under these suffixes.
    static const QString kNewSuffix;
    static const QString kAsideSuffix;

    FileInstallTaskSpecification(const QString& newFile, const QString& installed,
        RollbackDataList* rollbackList, QObject* parent, qreal weight);

    bool doOp() override;

    // Undoes what a replacement step that was never committed left below `dir` (the process was
    // killed): new files not yet in place (and partial outputs of them) are removed, and every
    // installed file that was kept aside is renamed back over its name (or only loses its second
    // name when it still has the first), so that the installation is again what it was before
    // that step.  The tree is walked by descriptor and links inside it are never followed: every
    // change is made in the folder that was listed, whatever has taken its name since.  Returns
    // the number of files put back.
    static int restoreInterrupted(const QString& dir);
    // What a committed replacement left below `dir`: the kept originals are removed, never put
    // back, and so are new files not in place.  True when nothing of it is left; removed (when
    // given) counts the originals removed.
    static bool removeLeftovers(const QString& dir, int* removed = nullptr);

    QString m_NewFile;
    bool m_MakeExecutable = false; // the new file gets mode 0755 before it is put in place
};

#endif // FILEINSTALLTASKSPECIFICATION_H

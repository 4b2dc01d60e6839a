#ifndef FILEINSTALLTASKSPECIFICATION_H
#define FILEINSTALLTASKSPECIFICATION_H

#include "fastfileoptaskspecification.h"

// Puts a finished new file in place of an installed one.  The installed file is first moved
// aside in its own folder (a rename record, so that a rollback puts it back) and its owner,
// group and mode bits are given to the new file; then the new file takes its name.  The
// created-file record of the new file moves with it: it names the installed path afterwards.
// A moved-aside file that is already there is never replaced: the install fails instead.
//
// Nothing is written at the installed path until the new content is complete and checked, and
// a running program keeps its own (moved) file.  Every name is reached by descriptor
// (NoFollowFile): a folder swapped for a link is never entered, and owner and mode are set on
// the open new file before it takes the installed file's name.
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

    // Undoes what a replacement step that never ended (the process was killed) left below
    // `dir`: new files not yet in place (and partial outputs of them) are removed, and every
    // installed file that was moved aside is put back, so that the installation is again what it
    // was before that step.  The tree is walked by descriptor and links inside it are never
    // followed: every change is made in the folder that was listed, whatever has taken its name
    // since.  Returns the number of files put back.
    static int restoreInterrupted(const QString& dir);

    QString m_NewFile;
    bool m_MakeExecutable = false; // the new file gets mode 0755 before it is put in place
};

#endif // FILEINSTALLTASKSPECIFICATION_H

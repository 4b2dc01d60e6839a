#ifndef FILEREPLACETASKSPECIFICATION_H
#define FILEREPLACETASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "deleteentry.h"
#include "replaceentry.h"
#include "rollbackdatalist.h"

#include "folderwalk.h"

#include <QList>
#include <QStringList>

class Configuration;
class SlowFileOpSpecification;

// Brings one installed file of the client up to date from what the download step left in the
// session folder: the new file is copied, unpacked or patched to a temporary name beside the
// installed file and checked against the entry's hash when it was unpacked or patched.  The step
// puts it in place once every file is ready (FileReplaceListTaskSpecification).  When anything
// fails, this task's own records are undone: the installed file is exactly as before.  On
// success the records go to the step's shared list so that a later failure of the step undoes
// this file too.
class FileReplaceTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    // File names and complete suffixes of the files that must be executable.
    static const QStringList kExecutableNames;
    static const QStringList kExecutableSuffixes;

    FileReplaceTaskSpecification(const ReplaceEntry& entry, QList<DeleteEntry>* deleteList,
                                 RollbackDataList* sharedRollbackList, Configuration* config,
                                 QObject* parent, qreal weight);

    void execute() override;
    void reset() override;
    void subtasksDone() override;
    void makeSubtasksAndStart();

    // The unpack task for a download: the container unpacker for a name whose suffix is
    // "_lzma2_", gzip for any other.
    static SlowFileOpSpecification* makeUnpackTask(RollbackDataList* rollbackList,
                                                   const QString& download,
                                                   const QString& destination, QObject* parent,
                                                   qreal weight, quint64 maxOutputSize);
    // Whether the file at path is one of the executables and libraries named by the two lists,
    // which get mode 0755 when they are put in place (on the new file, before it takes the
    // installed file's name: a mode is never changed through the path afterwards).
    static bool isExecutable(const QString& path);
    // Mode 0755: everyone may read and run the file, only its owner may change it.  Set through
    // a descriptor, never through a link.
    static bool makeExecutable(const QString& path);

    ReplaceEntry m_Entry;
    QList<DeleteEntry>* m_DeleteList;        // kept, not used
    RollbackDataList* m_SharedRollbackList;  // the step's list, not owned
    RollbackDataList m_RollbackList;         // this file's records
    Configuration* m_Config;                 // not owned
    // The folder of the installed file, reached once while the task runs: every step of the
    // task works in that very folder.
    voxpatch::FolderPin m_Folder;

    // The installed file, and the new file beside it under its temporary name.
    QString installedPath() const;
    QString newFilePath() const;
};

#endif // FILEREPLACETASKSPECIFICATION_H

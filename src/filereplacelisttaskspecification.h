#ifndef FILEREPLACELISTTASKSPECIFICATION_H
#define FILEREPLACELISTTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "deleteentry.h"
#include "replaceentry.h"
#include "rollbackdatalist.h"

#include <QList>

class Configuration;

// The client step's replacement of files: creates the missing folders, then makes the new files
// of the replace list, two at a time, and puts them in place together once all are ready,
// keeping one rollback list for the whole step.  When
// anything fails or the step is cancelled, everything is undone, last first, so that the client
// is exactly as before.  When everything succeeded, the step is committed (see commit): the
// replaced originals (kept aside until then) are removed and nothing is left to undo.
class FileReplaceListTaskSpecification : public ComposedTaskSpecification {
    Q_OBJECT

public:
    FileReplaceListTaskSpecification(QList<ReplaceEntry>* replaceList,
        QList<DeleteEntry>* deleteList, Configuration* config, QObject* parent, qreal weight);

    void execute() override;
    void reset() override;
    void subtasksDone() override;
    void makeSubtasksAndStart();
    // One folder task per missing folder; returns how many were made.
    int makeDirCreateTasks();
    void makeReplaceTasks(bool dirTasksMade);
    // Puts every new file in place once all are ready: their content on stable storage first,
    // then one install after the other.  False when one could not be put in place (what was
    // done is in the rollback list).
    bool installAll();
    // Makes a finished step final: puts the new files and folder entries on stable storage,
    // marks the session record committed, empties the rollback list and removes the originals
    // that were kept aside.  False (nothing undone yet) when a sync or the mark failed.
    bool commit();
    // Removes a kept original (a folder with what is in it); true when nothing is left there.
    static bool removeAside(const QString& path);

    QList<ReplaceEntry>* m_ReplaceList; // not owned
    QList<DeleteEntry>* m_DeleteList; // not owned
    RollbackDataList m_RollbackList;
    Configuration* m_Config; // not owned
};

#endif // FILEREPLACELISTTASKSPECIFICATION_H

#ifndef FILEREPLACELISTTASKSPECIFICATION_H
#define FILEREPLACELISTTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "deleteentry.h"
#include "replaceentry.h"
#include "rollbackdatalist.h"

#include <QList>

class Configuration;

// The client step's replacement of files: creates the missing folders, then replaces the files
// of the replace list, two at a time, keeping one rollback list for the whole step.  When
// anything fails or the step is cancelled, everything is undone, last first, so that the client
// is exactly as before.  When everything succeeded, the replaced originals (kept aside until
// then) are removed and nothing is left to undo.
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
    // Makes a finished step final: removes the originals that were moved aside and empties the
    // rollback list.
    void commit();

    QList<ReplaceEntry>* m_ReplaceList; // not owned
    QList<DeleteEntry>* m_DeleteList; // not owned
    RollbackDataList m_RollbackList;
    Configuration* m_Config; // not owned
};

#endif // FILEREPLACELISTTASKSPECIFICATION_H

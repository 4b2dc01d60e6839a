#ifndef FILEDELETELISTTASKSPECIFICATION_H
#define FILEDELETELISTTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "deleteentry.h"

#include <QList>

class Configuration;

// Deletes every entry of the delete list from the installation, one at a time and in list
// order.  What cannot be deleted (or is already gone) is passed over.
class FileDeleteListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    FileDeleteListTaskSpecification(QList<DeleteEntry>* deleteList, Configuration* config,
                                    QObject* parent, qreal weight);

    void execute() override;
    void reset() override;
    void makeSubtasksAndStart();

    QList<DeleteEntry>* m_DeleteList; // not owned
    Configuration* m_Config;          // not owned
};

#endif // FILEDELETELISTTASKSPECIFICATION_H

#ifndef UPDATESELFUNZIPTASKSPECIFICATION_H
#define UPDATESELFUNZIPTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "replaceentry.h"

#include <QList>

class Configuration;

// The updater step's last step: builds the new updater in the session folder, which is laid
// out like the client's Contents folder.  Every packed or patched file of the replace list is
// extracted to its place and checked, two at a time; then the updater and the libraries are
// made executable, the new bundle's Frameworks and Plugins are linked to the session folder's,
// the new updater gets its own "update.ini" with the session record, and the updater's
// translations are copied.  The installed client is only read; nothing is rolled back.
class UpdateSelfUnzipTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    UpdateSelfUnzipTaskSpecification(QList<ReplaceEntry>* replaceList, Configuration* config,
                                     QObject* parent, qreal weight);

    void execute() override;
    void reset() override;
    void subtasksDone() override;
    void makeSubtasksAndStart();

    QList<ReplaceEntry>* m_ReplaceList; // not owned
    Configuration* m_Config;            // not owned

private:
    void copyTranslations();
};

#endif // UPDATESELFUNZIPTASKSPECIFICATION_H

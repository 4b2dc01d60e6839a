#pragma once
// The root of one update run: the steps of the updater step or of the client step, one at a
// time, carrying the three update lists from the step that builds them to the steps that use them.

#include "composedtaskspecification.h"
#include "updatelists.h"

class Configuration;
class QNetworkAccessManager;

class MainTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    MainTaskSpecification(QNetworkAccessManager* nam, Configuration* config, QObject* parent,
                          qreal weight);

    void execute() override;
    void reset() override;
    void makeSubtasksAndStart();
    // Once the client's files are replaced the update is final (deleting obsolete files is never
    // undone): a cancel request is then let pass, so that the run ends as the new version.
    void requestCancel() override;
    // A failed run drops the session's product list: the next run fetches it anew.
    void subtasksDone() override;

    QNetworkAccessManager* m_Manager;
    Configuration* m_Config;
    // Filled by the list-building step; the later steps hold pointers into it.
    UpdateLists m_Lists;
};

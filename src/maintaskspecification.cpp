#include "maintaskspecification.h"

#include "configuration.h"
#include "downloadfilelisttaskspecification.h"
#include "filedeletelisttaskspecification.h"
#include "filereplacelisttaskspecification.h"
#include "inidownloadtaskspecification.h"
#include "makedownloadreplacelisttaskspecification.h"
#include "updateselfunziptaskspecification.h"

MainTaskSpecification::MainTaskSpecification(
    QNetworkAccessManager* nam, Configuration* config, QObject* parent, qreal weight)
    : ComposedTaskSpecification(1, parent, weight)
    , m_Manager(nam)
    , m_Config(config)
{
}

void MainTaskSpecification::execute()
{
    emit message(QStringLiteral("Starting update process for ") +
        (m_Config->m_ClientUpdate ? QStringLiteral("client") : QStringLiteral("updater")));
    makeSubtasksAndStart();
}

void MainTaskSpecification::makeSubtasksAndStart()
{
    addSubTask(new IniDownloadTaskSpecification(m_Manager, m_Config, this, 0.1));
    addSubTask(new MakeDownloadReplaceListTaskSpecification(m_Config, &m_Lists, this, 0.05));
    addSubTask(new DownloadFileListTaskSpecification(
        &m_Lists.downloadList, m_Manager, m_Config, this, 0.4));
    if (m_Config->m_ClientUpdate == 1) {
        addSubTask(new FileReplaceListTaskSpecification(
            &m_Lists.replaceList, &m_Lists.deleteList, m_Config, this, 0.4));
        addSubTask(new FileDeleteListTaskSpecification(&m_Lists.deleteList, m_Config, this, 0.05));
    } else {
        addSubTask(new UpdateSelfUnzipTaskSpecification(&m_Lists.replaceList, m_Config, this, 0.4));
    }
    m_State = STATE_RUNNING;
    startSubTasks();
}

void MainTaskSpecification::reset()
{
    dropSubTasks();
    m_Lists.clear();
    ComposedTaskSpecification::reset(); // no sub-tasks left: clears the end flags of the last run
}

void MainTaskSpecification::requestCancel()
{
    const int replaceStep = 3;
    if (m_Config->m_ClientUpdate == 1 && m_SubTasks.size() > replaceStep &&
        m_SubTasks.at(replaceStep)->m_State == STATE_FINISHED)
        return;
    ComposedTaskSpecification::requestCancel();
}

void MainTaskSpecification::subtasksDone()
{
    if (aggregateState() == STATE_FAILED)
        IniDownloadTaskSpecification::forgetLocalList(m_Config);
    ComposedTaskSpecification::subtasksDone();
}

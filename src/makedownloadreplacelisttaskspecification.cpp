#include "makedownloadreplacelisttaskspecification.h"

#include "makedownloadreplacelistfunc.h"

MakeDownloadReplaceListTaskSpecification::MakeDownloadReplaceListTaskSpecification(
    Configuration* config, UpdateLists* lists, QObject* parent, qreal weight)
    : ASyncTaskSpecification(parent, weight)
    , m_Config(config)
    , m_PipelineLists(lists)
    , m_Lists(std::make_shared<UpdateLists>())
{
}

ASyncFunc* MakeDownloadReplaceListTaskSpecification::createFunc()
{
    // A fresh record per run: a result still on its way from an earlier run cannot mix in.
    m_Lists = std::make_shared<UpdateLists>();
    return new MakeDownloadReplaceListFunc(m_Config, m_Lists);
}

void MakeDownloadReplaceListTaskSpecification::runFinished(bool ok)
{
    if (ok && m_PipelineLists && m_State == STATE_RUNNING)
        *m_PipelineLists = *m_Lists;
    ASyncTaskSpecification::runFinished(ok);
}

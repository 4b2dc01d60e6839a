#include "fastfileoptaskspecification.h"

#include "rollbackdatalist.h"

FastFileOpTaskSpecification::FastFileOpTaskSpecification(const QString& path,
                                                         RollbackDataList* rollbackList,
                                                         QObject* parent, qreal weight)
    : TaskSpecification(parent, weight)
    , m_RollbackList(rollbackList)
    , m_Path(path)
{
}

FastFileOpTaskSpecification::~FastFileOpTaskSpecification() = default;

void FastFileOpTaskSpecification::execute()
{
    m_State = STATE_RUNNING;
    if (doOp())
        finish();
    else
        fail();
}

void FastFileOpTaskSpecification::addRollback(const RollbackData& record)
{
    if (m_RollbackList)
        m_RollbackList->append(record);
}

#include "filecopytaskspecification.h"

#include "filecopyfunc.h"

FileCopyTaskSpecification::FileCopyTaskSpecification(RollbackDataList* rollbackList,
    const QString& source, const QString& destination, QObject* parent, qreal weight)
    : SlowFileOpSpecification(
          tr("Could not copy '%1' to '%2'"), rollbackList, source, destination, parent, weight)
{
}

ASyncFunc* FileCopyTaskSpecification::createFunc()
{
    return new FileCopyFunc(m_Source, m_Destination);
}

#include "slowfileopspecification.h"

#include "rollbackdatalist.h"

SlowFileOpSpecification::SlowFileOpSpecification(const QString& errorText,
    RollbackDataList* rollbackList, const QString& source, const QString& destination,
    QObject* parent, qreal weight)
    : ASyncTaskSpecification(parent, weight)
    , m_RollbackList(rollbackList)
    , m_Source(source)
    , m_Destination(destination)
    , m_ErrorFormat(errorText)
    , m_ErrorText(errorText.arg(source, destination))
{
}

SlowFileOpSpecification::SlowFileOpSpecification(const QString& errorText,
    RollbackDataList* rollbackList, const QString& source, const QString& patch,
    const QString& destination, QObject* parent, qreal weight)
    : ASyncTaskSpecification(parent, weight)
    , m_RollbackList(rollbackList)
    , m_Source(source)
    , m_Patch(patch)
    , m_Destination(destination)
    , m_ErrorFormat(errorText)
    , m_ErrorText(errorText.arg(source, destination))
{
}

SlowFileOpSpecification::~SlowFileOpSpecification() = default;

void SlowFileOpSpecification::showDestinationAs(const QString& name)
{
    m_ErrorText = m_ErrorFormat.arg(m_Source, name);
}

void SlowFileOpSpecification::runFinished(bool ok)
{
    // The record (or the message) comes before the running check: a file
    // that was created must be undone even when the result itself is dropped.
    if (ok) {
        if (m_RollbackList)
            m_RollbackList->append(RollbackData(RollbackData::FILE_CREATE, m_Destination));
    } else {
        emit message(m_ErrorText);
    }
    ASyncTaskSpecification::runFinished(ok);
}

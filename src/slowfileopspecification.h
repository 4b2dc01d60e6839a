#ifndef SLOWFILEOPSPECIFICATION_H
#define SLOWFILEOPSPECIFICATION_H

#include "asynctaskspecification.h"

#include <QString>

class RollbackDataList;

// A file operation (copy, patch, unpack) that runs on the pool and creates
// m_Destination.  On success the created file is recorded for rollback; on
// failure m_ErrorText is emitted as message.  The error text is given with %1
// for the source and %2 for the destination.
class SlowFileOpSpecification : public ASyncTaskSpecification {
    Q_OBJECT

public:
    SlowFileOpSpecification(const QString& errorText, RollbackDataList* rollbackList,
        const QString& source, const QString& destination, QObject* parent, qreal weight);
    SlowFileOpSpecification(const QString& errorText, RollbackDataList* rollbackList,
        const QString& source, const QString& patch, const QString& destination, QObject* parent,
        qreal weight);
    ~SlowFileOpSpecification() override;

    void runFinished(bool ok) override;
    // Names the destination in the error text as the user knows it, where the
    // operation writes to a temporary file first.
    void showDestinationAs(const QString& name);

    RollbackDataList* m_RollbackList; // not owned, may be null
    QString m_Source;
    QString m_Patch; // empty in the two-path form
    QString m_Destination;
    QString m_ErrorFormat;
    QString m_ErrorText;
};

#endif // SLOWFILEOPSPECIFICATION_H

#ifndef FILETASKSPECIFICATION_PATCH_H
#define FILETASKSPECIFICATION_PATCH_H

#include "slowfileopspecification.h"

// Applies a binary patch to an old file on the thread pool, writing the new file to the
// destination; the new file may be at most maxOutputSize bytes long.
class FileTaskSpecification_patch : public SlowFileOpSpecification
{
    Q_OBJECT

public:
    FileTaskSpecification_patch(RollbackDataList* rollbackList, const QString& source,
                                const QString& patch, const QString& destination,
                                QObject* parent, qreal weight, quint64 maxOutputSize);

    ASyncFunc* createFunc() override;

    quint64 m_MaxOutputSize;
};

#endif // FILETASKSPECIFICATION_PATCH_H

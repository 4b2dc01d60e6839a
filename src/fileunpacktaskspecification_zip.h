#ifndef FILEUNPACKTASKSPECIFICATION_ZIP_H
#define FILEUNPACKTASKSPECIFICATION_ZIP_H

#include "slowfileopspecification.h"

// Unpacks a gzip file into its destination; the unpacked file may be at most maxOutputSize
// bytes long.
class FileUnpackTaskSpecification_zip : public SlowFileOpSpecification
{
    Q_OBJECT

public:
    FileUnpackTaskSpecification_zip(RollbackDataList* rollbackList, const QString& source,
                                    const QString& destination, QObject* parent, qreal weight,
                                    quint64 maxOutputSize);

    ASyncFunc* createFunc() override;

    quint64 m_MaxOutputSize;
};

#endif // FILEUNPACKTASKSPECIFICATION_ZIP_H

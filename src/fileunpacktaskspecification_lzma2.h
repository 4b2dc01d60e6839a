#ifndef FILEUNPACKTASKSPECIFICATION_LZMA2_H
#define FILEUNPACKTASKSPECIFICATION_LZMA2_H

#include "slowfileopspecification.h"

// Unpacks a compressed-file container (a name ending in "._lzma2_") into its destination.
class FileUnpackTaskSpecification_lzma2 : public SlowFileOpSpecification
{
    Q_OBJECT

public:
    FileUnpackTaskSpecification_lzma2(RollbackDataList* rollbackList, const QString& source,
                                      const QString& destination, QObject* parent, qreal weight);

    ASyncFunc* createFunc() override;
};

#endif // FILEUNPACKTASKSPECIFICATION_LZMA2_H

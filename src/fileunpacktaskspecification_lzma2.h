#ifndef FILEUNPACKTASKSPECIFICATION_LZMA2_H
#define FILEUNPACKTASKSPECIFICATION_LZMA2_H

#include "slowfileopspecification.h"

// Unpacks a compressed-file container (a name ending in "._lzma2_") into its destination.  The
// unpacked file may be at most maxOutputSize bytes long; executable-aware containers are
// refused unless allowExecutableAware is set.
class FileUnpackTaskSpecification_lzma2 : public SlowFileOpSpecification
{
    Q_OBJECT

public:
    FileUnpackTaskSpecification_lzma2(RollbackDataList* rollbackList, const QString& source,
                                      const QString& destination, QObject* parent, qreal weight,
                                      quint64 maxOutputSize, bool allowExecutableAware = true);

    ASyncFunc* createFunc() override;

    quint64 m_MaxOutputSize;
    bool m_AllowExecutableAware;
};

#endif // FILEUNPACKTASKSPECIFICATION_LZMA2_H

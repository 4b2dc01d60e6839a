#include "fileunpacktaskspecification_lzma2.h"

#include "fileunpackfunc_lzma2.h"

FileUnpackTaskSpecification_lzma2::FileUnpackTaskSpecification_lzma2(RollbackDataList* rollbackList,
    const QString& source, const QString& destination, QObject* parent, qreal weight,
    quint64 maxOutputSize, bool allowExecutableAware)
    : SlowFileOpSpecification(
          tr("Could not unpack '%1' to '%2'"), rollbackList, source, destination, parent, weight)
    , m_MaxOutputSize(maxOutputSize)
    , m_AllowExecutableAware(allowExecutableAware)
{
}

ASyncFunc* FileUnpackTaskSpecification_lzma2::createFunc()
{
    return new FileUnpackFunc_lzma2(
        m_Source, m_Destination, m_MaxOutputSize, m_AllowExecutableAware);
}

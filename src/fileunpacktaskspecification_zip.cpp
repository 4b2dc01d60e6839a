#include "fileunpacktaskspecification_zip.h"

#include "fileunpackfunc_zip.h"

FileUnpackTaskSpecification_zip::FileUnpackTaskSpecification_zip(RollbackDataList* rollbackList,
    const QString& source, const QString& destination, QObject* parent, qreal weight,
    quint64 maxOutputSize)
    : SlowFileOpSpecification(
          tr("Could not unzip '%1' to '%2'"), rollbackList, source, destination, parent, weight)
    , m_MaxOutputSize(maxOutputSize)
{
}

ASyncFunc* FileUnpackTaskSpecification_zip::createFunc()
{
    return new FileUnpackFunc_Zip(m_Source, m_Destination, m_MaxOutputSize);
}

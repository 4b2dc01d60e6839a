#include "filecopyfunc.h"

#include <QDebug>
#include <QFile>

FileCopyFunc::FileCopyFunc(const QString& source, const QString& destination)
    : SlowFileOpFunc(source, destination)
{
}

bool FileCopyFunc::run()
{
    qDebug() << Q_FUNC_INFO << "run" << m_Source << m_Destination;
    return QFile::copy(m_Source, m_Destination);
}

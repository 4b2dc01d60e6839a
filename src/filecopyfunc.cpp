#include "filecopyfunc.h"

#include "nofollowfile.h"

#include <QDebug>
#include <QFile>

FileCopyFunc::FileCopyFunc(const QString& source, const QString& destination)
    : SlowFileOpFunc(source, destination)
{
}

bool FileCopyFunc::run()
{
    // A new file, created exclusively in the folder reached by descriptor: never written through
    // a link, and an existing file is not replaced.
    const bool ok = NoFollowFile::copyNew(m_Source, m_Destination);
    qDebug() << Q_FUNC_INFO << "run" << m_Source << m_Destination << ok;
    return ok;
}

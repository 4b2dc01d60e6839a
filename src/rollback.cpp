#include "rollback.h"

#include "nofollowfile.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QObject>
#include <QtGlobal>

RollbackData::RollbackData(int op, const QString& source, const QString& target)
    : m_Path(target)
    , m_FormerPath(source)
    , m_Op(op)
{
    Q_ASSERT_X(op == FILE_RENAME, "RollbackData::RollbackData", "op==FILE_RENAME");
}

RollbackData::RollbackData(int op, const QString& path)
    : m_Path(path)
    , m_Op(op)
{
    Q_ASSERT_X(op != FILE_RENAME, "RollbackData::RollbackData", "op!=FILE_RENAME");
}

bool RollbackData::rollback(QObject* target) const
{
    switch (m_Op) {
    case FILE_CREATE:
        if (!NoFollowFile::remove(m_Path)) {
            message(target, QCoreApplication::translate("RollbackData", "warning: rollback create file %1 failed").arg(m_Path));
            return false;
        }
        return true;
    case DIR_CREATE: {
        if (!NoFollowFile::removeFolder(QDir::cleanPath(m_Path))) {
            message(target, QCoreApplication::translate("RollbackData", "warning: rollback create dir %1 failed").arg(m_Path));
            return false;
        }
        return true;
    }
    case FILE_RENAME:
        // Renamed over whatever took the former name meanwhile (the replacement of an installed
        // file), so that the name is never missing; a file kept aside as a second link of the
        // original (an install cut short before the new file took the name) only loses that link.
        if (!NoFollowFile::renameBack(m_Path, m_FormerPath)) {
            message(target, QCoreApplication::translate("RollbackData", "warning: rollback rename %1 to %2 failed")
                                .arg(m_FormerPath, m_Path));
            return false;
        }
        return true;
    default:
        qFatal("Should not reach here");
    }
    return false;
}

void RollbackData::message(QObject* target, QString text)
{
    if (!target)
        return;
    if (target->metaObject()->indexOfMethod("message(QString)") < 0
        || !QMetaObject::invokeMethod(target, "message", Q_ARG(QString, text)))
        qDebug() << "Warning: message signal was not found in RollbackData::message";
}

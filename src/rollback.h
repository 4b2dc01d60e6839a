#ifndef ROLLBACK_H
#define ROLLBACK_H

#include <QString>

class QObject;

// The record of one undoable change to the file system.
class RollbackData
{
public:
    enum Op {
        FILE_RENAME = 0, // a file was moved (or linked) from m_FormerPath to m_Path
        FILE_CREATE = 1, // a file was created at m_Path
        DIR_CREATE = 2   // a folder was created at m_Path
    };

    // FILE_RENAME only: the file was moved from source to target.
    RollbackData(int op, const QString& source, const QString& target);
    // Every op but FILE_RENAME.
    RollbackData(int op, const QString& path);

    // Undoes the change.  On failure a warning goes to target's "message"
    // method and false is returned.
    bool rollback(QObject* target) const;

    // Invokes target's method "message(QString)" by name; nothing when target is null.
    static void message(QObject* target, QString text);

    QString m_Path;
    QString m_FormerPath;
    int m_Op;
};

#endif // ROLLBACK_H

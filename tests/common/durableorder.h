#pragma once
// The durable order of a clean update, judged from the calls the I/O fault injector recorded
// (IoFaultInjector::calls()):
//  - every new file of the bundle and every session record is synced (fsync or fdatasync of the
//    file under any name it had since it was last written, or syncfs on the bundle) before it
//    is renamed to its name;
//  - the folders whose entries a step changed (files taking their names, folders and links made)
//    are synced (fsync of the folder, or syncfs on the bundle) after their last change and before
//    the step commits: before an original kept aside ("._vxold_") is removed, and, once the last
//    file is in place, before a record is rewritten or a "._vxnew_" name removed.

#include "common/iofaultinjector.h"

#include <QList>
#include <QString>
#include <QStringList>

class DurableOrder
{
public:
    // One line per gap ("no fsync of <file> before it was renamed to <name>", "folder <folder>
    // not synced before <path>"); empty when the order holds.  bundle: the bundle's folder;
    // sessionPrefix: what the session folders' paths start with.  error is set when the calls
    // show no update to judge (nothing installed, or no commit).
    static QStringList gaps(const QList<IoFaultInjector::Call>& calls, const QString& bundle,
                            const QString& sessionPrefix, QString* error);
};

#pragma once
// The update engine: runs one update session for the window.  For now it carries the start-up
// clean-up of what earlier installations left beside the updater.

#include <QObject>
#include <QString>

class UpdateEngine : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Deletes the "_old_"-prefixed leftovers of earlier updates inside `dir`.  Silent; failures
    // are passed over.
    static void removeOldFiles(const QString &dir);

    // Removes the frameworks of the previous Qt generation: whole folders in the shared
    // frameworks folder beside `dir`, and links or files of those names inside the companion
    // applications in `dir`.  Silent; failures are passed over.
    static void removeQt4Files(const QString &dir);
};

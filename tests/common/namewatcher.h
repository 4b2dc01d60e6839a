#pragma once
// Watches every folder of a tree (inotify) for names that go away: removed, or renamed to another
// name.  A name that a rename replaces in one step (the new file renamed over it) does not go
// away.  Tests take one before an operation and ask afterwards which names were missing at some
// moment of it.  Linux only.

#include <QHash>
#include <QString>
#include <QStringList>

class NameWatcher
{
public:
    // Watches root and every folder below it (links are not followed).
    explicit NameWatcher(const QString& root);
    ~NameWatcher();
    NameWatcher(const NameWatcher&) = delete;
    NameWatcher& operator=(const NameWatcher&) = delete;

    bool isValid() const { return m_Fd >= 0; }
    // The names (relative to the root) that went away since the watch began, in order; each read
    // adds what happened since the last one.
    QStringList departures();

private:
    int m_Fd = -1;
    QHash<int, QString> m_Folders; // watch descriptor -> folder relative to the root ("" = root)
    QStringList m_Departures;
};

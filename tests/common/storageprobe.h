#pragma once
// Watches the updater's durable-storage calls (DurableStorage) while it lives: records every call
// with the entry's name, in order and from every thread, and makes chosen calls fail.

#include "durablestorage.h"

#include <QByteArray>
#include <QList>
#include <QMutex>

#include <functional>

class StorageProbe
{
public:
    struct Event
    {
        DurableStorage::Call call;
        QByteArray name;
    };
    using Match = std::function<bool(const QByteArray& name)>;

    StorageProbe();
    ~StorageProbe();
    StorageProbe(const StorageProbe&) = delete;
    StorageProbe& operator=(const StorageProbe&) = delete;

    // Fails the nth call (counted from 1) of this kind whose name matches, with errno error; with
    // forGood every later one as well.
    void failOn(DurableStorage::Call call, const Match& match, int nth, int error, bool forGood);
    // Nothing fails any more.
    void stopFailing();

    QList<Event> events() const;
    // The position of the first recorded call of this kind whose name matches, from position
    // from on, or -1.
    int firstOf(DurableStorage::Call call, const Match& match, int from = 0) const;
    // The position of the last one, or -1.
    int lastOf(DurableStorage::Call call, const Match& match) const;
    int failures() const;

private:
    int probe(DurableStorage::Call call, const QByteArray& name);

    mutable QMutex m_Mutex;
    QList<Event> m_Events;
    DurableStorage::Call m_FailCall = DurableStorage::SyncData;
    Match m_FailMatch;
    int m_FailNth = 0;
    int m_FailError = 0;
    bool m_FailForGood = false;
    int m_Seen = 0;
    int m_Failures = 0;
};

#include "storageprobe.h"

#include <QMutexLocker>

StorageProbe::StorageProbe()
{
    DurableStorage::setProbeForTesting([this](DurableStorage::Call call, const QByteArray& name) {
        return probe(call, name);
    });
}

StorageProbe::~StorageProbe()
{
    DurableStorage::setProbeForTesting(nullptr);
}

void StorageProbe::failOn(DurableStorage::Call call, const Match& match, int nth, int error, bool forGood)
{
    QMutexLocker lock(&m_Mutex);
    m_FailCall = call;
    m_FailMatch = match;
    m_FailNth = nth;
    m_FailError = error;
    m_FailForGood = forGood;
    m_Seen = 0;
}

void StorageProbe::stopFailing()
{
    QMutexLocker lock(&m_Mutex);
    m_FailMatch = nullptr;
}

int StorageProbe::probe(DurableStorage::Call call, const QByteArray& name)
{
    QMutexLocker lock(&m_Mutex);
    m_Events << Event{call, name};
    if (!m_FailMatch || call != m_FailCall || !m_FailMatch(name))
        return 0;
    ++m_Seen;
    if (m_Seen < m_FailNth || (m_Seen > m_FailNth && !m_FailForGood))
        return 0;
    ++m_Failures;
    return m_FailError;
}

QList<StorageProbe::Event> StorageProbe::events() const
{
    QMutexLocker lock(&m_Mutex);
    return m_Events;
}

int StorageProbe::firstOf(DurableStorage::Call call, const Match& match, int from) const
{
    QMutexLocker lock(&m_Mutex);
    for (int i = qMax(0, from); i < m_Events.size(); ++i) {
        if (m_Events.at(i).call == call && match(m_Events.at(i).name))
            return i;
    }
    return -1;
}

int StorageProbe::lastOf(DurableStorage::Call call, const Match& match) const
{
    QMutexLocker lock(&m_Mutex);
    for (int i = m_Events.size() - 1; i >= 0; --i) {
        if (m_Events.at(i).call == call && match(m_Events.at(i).name))
            return i;
    }
    return -1;
}

int StorageProbe::failures() const
{
    QMutexLocker lock(&m_Mutex);
    return m_Failures;
}

#include "parallelfilehasher.h"

#include "filehash.h"

#include <QMutexLocker>
#include <QThread>

#include <algorithm>

namespace
{
// Beyond a few threads the disk, not the hashing, sets the pace.
const int kMaxDefaultThreads = 4;
} // namespace

ParallelFileHasher::ParallelFileHasher(int maxThreads)
{
    m_Pool.setMaxThreadCount(std::max(1, maxThreads));
}

ParallelFileHasher::~ParallelFileHasher()
{
    m_Pool.clear();
    m_Pool.waitForDone();
}

int ParallelFileHasher::defaultThreadCount()
{
    return std::max(1, std::min(kMaxDefaultThreads, QThread::idealThreadCount()));
}

void ParallelFileHasher::queue(const QString& path)
{
    {
        QMutexLocker lock(&m_Mutex);
        if (m_Digests.contains(path))
            return;
        m_Digests.insert(path, Digest());
    }
    m_Pool.start([this, path] { hash(path); });
}

void ParallelFileHasher::hash(const QString& path)
{
    const QString hex = FileHash::sha512Hex(path);
    QMutexLocker lock(&m_Mutex);
    Digest& digest = m_Digests[path];
    digest.hex = hex;
    digest.done = true;
    m_Done.wakeAll();
}

QString ParallelFileHasher::sha512Hex(const QString& path)
{
    {
        QMutexLocker lock(&m_Mutex);
        if (m_Digests.contains(path)) {
            while (!m_Digests.value(path).done)
                m_Done.wait(&m_Mutex);
            return m_Digests.value(path).hex;
        }
    }
    return FileHash::sha512Hex(path);
}

#ifndef PARALLELFILEHASHER_H
#define PARALLELFILEHASHER_H

#include <QHash>
#include <QMutex>
#include <QString>
#include <QThreadPool>
#include <QWaitCondition>

// Hashes files (SHA-512) ahead of the one thread that needs the digests, on a few threads of its
// own, so that reading and hashing of many files overlap. The threads are private: the owner may
// itself run on the global pool and wait here without taking a thread the hashing would need.
// Each path is hashed at most once; the digest is kept until the hasher is destroyed.
class ParallelFileHasher
{
public:
    // At most maxThreads files are hashed at once (at least one).
    explicit ParallelFileHasher(int maxThreads);
    // Hashing that has not started is dropped; what runs is waited for.
    ~ParallelFileHasher();

    ParallelFileHasher(const ParallelFileHasher&) = delete;
    ParallelFileHasher& operator=(const ParallelFileHasher&) = delete;

    // Starts hashing the file unless it was queued before. Files are taken up in queueing order.
    void queue(const QString& path);
    // The digest as 128 lower-case hex digits, empty when the file cannot be read whole. Waits
    // for a queued file; a file that was never queued is hashed in the calling thread, anew on
    // every call.
    QString sha512Hex(const QString& path);

    // The thread count the list building uses: a few, never more than the machine has.
    static int defaultThreadCount();

private:
    struct Digest
    {
        bool done = false;
        QString hex;
    };

    void hash(const QString& path);

    QMutex m_Mutex;
    QWaitCondition m_Done;
    QHash<QString, Digest> m_Digests;
    // Last member: destroyed first, so no hashing outlives the digests it writes to.
    QThreadPool m_Pool;
};

#endif // PARALLELFILEHASHER_H

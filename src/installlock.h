#pragma once
// One updater per installation.  An update session takes an exclusive lock on a file in the
// user's private temp folder whose name is derived from the installation folder's identity (its
// device and inode, so that every path to it, bind mounts included, gives one lock), and holds it
// until the session is over: through the updater step, across the start of the fresh updater of
// the client step (which inherits the locked descriptor, so the lock is never free in between)
// and through the client step up to the start of the client.  A second updater for the same
// installation finds the lock taken and leaves the installation alone.
//
// The lock file is made by the user in a folder only the user can enter, opened without
// following links, and must be a plain file of the user's own.  Nobody else can open it, so
// nobody else can hold it.

#include <QString>

class InstallLock {
public:
    enum Result {
        Acquired, // this session holds the installation
        Busy, // another updater holds it
        Failed // no lock file could be had
    };

    InstallLock() = default;
    ~InstallLock();
    InstallLock(const InstallLock &) = delete;
    InstallLock &operator=(const InstallLock &) = delete;

    // The first call of the program: takes over a lock that the previous update step handed
    // over (named by environmentVariable()), removes that name from the environment and keeps
    // the descriptor from reaching any program this one starts.  A name that does not lead to a
    // plain file of the user's own is not taken.
    static void takeHandedOver();

    // Locks the installation whose Contents folder is installDir, without waiting; Failed when
    // that folder cannot be reached (by a walk that follows only links of the user's own or
    // root's).  A lock handed over by the previous step for the same installation is taken as it
    // is; one for another file is closed only after this lock is settled.  Calling it again for
    // the installation already held gives Acquired at once.
    Result acquire(const QString &installDir);

    // After Busy: tries again.  Acquired means the other updater has let go.
    Result retry();

    bool isHeld() const { return m_Fd >= 0 && m_Held; }

    // Lets the next program started inherit the held lock, then takes it back to this program
    // only (whether or not the start worked).  After a successful start the lock file is left
    // in place when this program lets go: the next program holds it then.
    void lendToNextProgram();
    void endLending(bool started);

    // Lets go of the lock.  The holder that ends the session removes the lock file.
    void release();

    // <temp folder>/voxtrel_update_<device>_<inode>.lock (hexadecimal) of the folder installDir,
    // or empty when it cannot be reached.
    static QString lockPath(const QString &installDir);
    static const char *environmentVariable(); // "VX3_UPDATE_LOCK_FD"

private:
    Result open(const QString &path);
    bool stillNamesLockFile() const;
    // Holds the lock just taken on m_Fd while the lock file still has its name; otherwise lets
    // the descriptor go.
    bool holdIfStillNamed();

    int m_Fd = -1;
    bool m_Held = false;
    bool m_HandedOver = false;
    QString m_Path;
};

#include "common/otheruser.h"

#include <QDirIterator>
#include <QFile>

#include <cerrno>

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
bool isRoot()
{
    return geteuid() == 0;
}

bool giveOne(const QString& path)
{
    return lchown(QFile::encodeName(path).constData(), OtherUser::kUid, OtherUser::kGid) == 0;
}
} // namespace

bool OtherUser::giveTree(const QString& path)
{
    if (!isRoot())
        return true;
    if (!giveOne(path))
        return false;
    QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        if (!giveOne(it.next()))
            return false;
    }
    return true;
}

int OtherUser::run(const std::function<int()>& work)
{
    if (!isRoot())
        return work() & 0xff;
    const pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        // The order matters: the groups and the group id can only be changed while still root.
        if (setgroups(0, nullptr) != 0 || setgid(kGid) != 0 || setuid(kUid) != 0 || getuid() != kUid)
            _exit(255);
        _exit(work() & 0xff);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 255)
        return -1;
    return WEXITSTATUS(status);
}

QString OtherUser::unavailableReason(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    const int result = run([&native] { return access(native.constData(), R_OK | W_OK | X_OK) == 0 ? 0 : 1; });
    if (result < 0)
        return QStringLiteral("cannot run a child process as uid %1").arg(kUid);
    if (result != 0)
        return QStringLiteral("uid %1 cannot reach %2 (a folder above it is closed)").arg(kUid).arg(path);
    return QString();
}

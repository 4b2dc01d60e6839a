#include "callfaults.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Rule {
    CallFaults::Kind kind = CallFaults::Write;
    std::string part;
    int error = 0;
    bool forGood = false;
};

std::mutex g_mutex;
Rule g_rule;
std::atomic<bool> g_armed{false};
std::atomic<int> g_failures{0};
std::atomic<int> g_sleeps{0};
thread_local bool t_inside = false; // path resolution must not meet its own replacements

template <typename F>
F real(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// The C library's function of the same name, looked up once.
#define VX_REAL(type, name)                                                                     \
    ([] {                                                                                       \
        static const auto function = real<type>(name);                                          \
        return function;                                                                        \
    }())

std::string linkTarget(const std::string &link)
{
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink(link.c_str(), buffer, sizeof buffer - 1);
    return length > 0 ? std::string(buffer, size_t(length)) : std::string();
}

std::string fdPath(int fd)
{
    if (fd == AT_FDCWD) {
        char buffer[PATH_MAX];
        return ::getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string();
    }
    return linkTarget("/proc/self/fd/" + std::to_string(fd));
}

std::string pathAt(int dirFd, const char *path)
{
    if (!path)
        return fdPath(dirFd);
    if (path[0] == '/')
        return path;
    return fdPath(dirFd) + '/' + path;
}

// True when path matches pattern: its pieces between '*' in order; a final '$' anchors the last
// piece at the end of the path (or of one of a rename's two names).
bool matches(const std::string &path, const std::string &pattern)
{
    const bool anchored = !pattern.empty() && pattern.back() == '$';
    const std::string body = anchored ? pattern.substr(0, pattern.size() - 1) : pattern;
    size_t from = 0;
    size_t start = 0;
    for (;;) {
        const size_t star = body.find('*', start);
        const std::string piece = body.substr(start, star == std::string::npos ? std::string::npos : star - start);
        const size_t at = path.find(piece, from);
        if (at == std::string::npos)
            return false;
        if (star == std::string::npos) {
            if (!anchored)
                return true;
            // The last piece may occur again further on: try each place.
            for (size_t end = at; end != std::string::npos; end = path.find(piece, end + 1)) {
                const size_t after = end + piece.size();
                if (after == path.size() || path[after] == '\n')
                    return true;
            }
            return false;
        }
        from = at + piece.size();
        start = star + 1;
    }
}

// True when this call is to fail; errno is then set.
template <typename PathOf>
bool failing(CallFaults::Kind kind, PathOf pathOf)
{
    if (!g_armed.load() || t_inside)
        return false;
    t_inside = true;
    const int saved = errno;
    const std::string path = pathOf();
    errno = saved;
    t_inside = false;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_armed.load() || g_rule.kind != kind || !matches(path, g_rule.part))
        return false;
    if (!g_rule.forGood)
        g_armed = false;
    ++g_failures;
    errno = g_rule.error;
    return true;
}

mode_t modeArgument(int flags, va_list args)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? mode_t(va_arg(args, int)) : 0;
}

} // namespace

namespace CallFaults {

void fail(Kind kind, const QByteArray &pathPart, int error, bool forGood)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_rule = Rule{kind, pathPart.toStdString(), error, forGood};
    g_failures = 0;
    g_sleeps = 0;
    g_armed = true;
}

void disarm()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_armed = false;
    g_failures = 0;
    g_sleeps = 0;
}

int failures()
{
    return g_failures.load();
}

int sleeps()
{
    return g_sleeps.load();
}

} // namespace CallFaults

extern "C" {

ssize_t write(int fd, const void *data, size_t length)
{
    if (failing(CallFaults::Write, [fd] { return fdPath(fd); }))
        return -1;
    return VX_REAL(ssize_t (*)(int, const void *, size_t), "write")(fd, data, length);
}

ssize_t read(int fd, void *data, size_t length)
{
    if (failing(CallFaults::Read, [fd] { return fdPath(fd); }))
        return -1;
    return VX_REAL(ssize_t (*)(int, void *, size_t), "read")(fd, data, length);
}

int fsync(int fd)
{
    if (failing(CallFaults::Sync, [fd] { return fdPath(fd); }))
        return -1;
    return VX_REAL(int (*)(int), "fsync")(fd);
}

int fdatasync(int fd)
{
    if (failing(CallFaults::Sync, [fd] { return fdPath(fd); }))
        return -1;
    return VX_REAL(int (*)(int), "fdatasync")(fd);
}

#define VX_OPEN_AT(name)                                                                        \
    int name(int dirFd, const char *path, int flags, ...)                                      \
    {                                                                                           \
        va_list args;                                                                           \
        va_start(args, flags);                                                                  \
        const mode_t mode = modeArgument(flags, args);                                          \
        va_end(args);                                                                           \
        if ((flags & O_CREAT) &&                                                                \
            failing(CallFaults::Create, [dirFd, path] { return pathAt(dirFd, path); }))         \
            return -1;                                                                          \
        return VX_REAL(int (*)(int, const char *, int, ...), #name)(dirFd, path, flags, mode);    \
    }
#define VX_OPEN(name)                                                                           \
    int name(const char *path, int flags, ...)                                                 \
    {                                                                                           \
        va_list args;                                                                           \
        va_start(args, flags);                                                                  \
        const mode_t mode = modeArgument(flags, args);                                          \
        va_end(args);                                                                           \
        if ((flags & O_CREAT) &&                                                                \
            failing(CallFaults::Create, [path] { return pathAt(AT_FDCWD, path); }))             \
            return -1;                                                                          \
        return VX_REAL(int (*)(const char *, int, ...), #name)(path, flags, mode);                \
    }
VX_OPEN(open)
VX_OPEN(open64)
VX_OPEN_AT(openat)
VX_OPEN_AT(openat64)
#undef VX_OPEN
#undef VX_OPEN_AT

int mkdir(const char *path, mode_t mode)
{
    if (failing(CallFaults::MakeFolder, [path] { return pathAt(AT_FDCWD, path); }))
        return -1;
    return VX_REAL(int (*)(const char *, mode_t), "mkdir")(path, mode);
}

int mkdirat(int dirFd, const char *path, mode_t mode)
{
    if (failing(CallFaults::MakeFolder, [dirFd, path] { return pathAt(dirFd, path); }))
        return -1;
    return VX_REAL(int (*)(int, const char *, mode_t), "mkdirat")(dirFd, path, mode);
}

int rename(const char *from, const char *to)
{
    if (failing(CallFaults::Rename,
            [from, to] { return pathAt(AT_FDCWD, from) + '\n' + pathAt(AT_FDCWD, to); }))
        return -1;
    return VX_REAL(int (*)(const char *, const char *), "rename")(from, to);
}

int renameat(int fromFd, const char *from, int toFd, const char *to)
{
    if (failing(CallFaults::Rename,
            [=] { return pathAt(fromFd, from) + '\n' + pathAt(toFd, to); }))
        return -1;
    return VX_REAL(int (*)(int, const char *, int, const char *), "renameat")(fromFd, from, toFd, to);
}

int renameat2(int fromFd, const char *from, int toFd, const char *to, unsigned flags)
{
    if (failing(CallFaults::Rename,
            [=] { return pathAt(fromFd, from) + '\n' + pathAt(toFd, to); }))
        return -1;
    return VX_REAL(int (*)(int, const char *, int, const char *, unsigned), "renameat2")(
        fromFd, from, toFd, to, flags);
}

int unlink(const char *path)
{
    if (failing(CallFaults::Unlink, [path] { return pathAt(AT_FDCWD, path); }))
        return -1;
    return VX_REAL(int (*)(const char *), "unlink")(path);
}

int unlinkat(int dirFd, const char *path, int flags)
{
    if (failing(CallFaults::Unlink, [dirFd, path] { return pathAt(dirFd, path); }))
        return -1;
    return VX_REAL(int (*)(int, const char *, int), "unlinkat")(dirFd, path, flags);
}

int rmdir(const char *path)
{
    if (failing(CallFaults::Unlink, [path] { return pathAt(AT_FDCWD, path); }))
        return -1;
    return VX_REAL(int (*)(const char *), "rmdir")(path);
}

int fchmod(int fd, mode_t mode)
{
    if (failing(CallFaults::Chmod, [fd] { return fdPath(fd); }))
        return -1;
    return VX_REAL(int (*)(int, mode_t), "fchmod")(fd, mode);
}

int chmod(const char *path, mode_t mode)
{
    if (failing(CallFaults::Chmod, [path] { return pathAt(AT_FDCWD, path); }))
        return -1;
    return VX_REAL(int (*)(const char *, mode_t), "chmod")(path, mode);
}

int fchmodat(int dirFd, const char *path, mode_t mode, int flags)
{
    if (failing(CallFaults::Chmod, [dirFd, path] { return pathAt(dirFd, path); }))
        return -1;
    return VX_REAL(int (*)(int, const char *, mode_t, int), "fchmodat")(dirFd, path, mode, flags);
}

int nanosleep(const struct timespec *request, struct timespec *remaining)
{
    ++g_sleeps;
    return VX_REAL(int (*)(const struct timespec *, struct timespec *), "nanosleep")(
        request, remaining);
}

int clock_nanosleep(
    clockid_t clock, int flags, const struct timespec *request, struct timespec *remaining)
{
    ++g_sleeps;
    return VX_REAL(int (*)(clockid_t, int, const struct timespec *, struct timespec *),
        "clock_nanosleep")(clock, flags, request, remaining);
}

} // extern "C"

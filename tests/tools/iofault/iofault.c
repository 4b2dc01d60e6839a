/* An I/O fault injector for whole update runs, loaded with LD_PRELOAD into every process of a run.
 *
 * It stands between the program and the C library's file calls of nine kinds:
 *   write   write, pwrite, pwrite64, writev, pwritev, pwritev64, sendfile, sendfile64, fwrite
 *   create  open, open64, openat, openat64 (and their _2 checked forms) with O_CREAT or
 *           O_TMPFILE, creat, creat64, mkstemp, mkstemp64, mkostemp, mkostemp64, fopen and
 *           fopen64 for writing
 *   rename  rename, renameat, renameat2
 *   mkdir   mkdir, mkdirat, mkdtemp
 *   sync    fsync, fdatasync, syncfs, sync_file_range
 *   chmod   chmod, fchmod, fchmodat
 *   unlink  unlink, unlinkat, rmdir, remove
 *   link    link, linkat, symlink, symlinkat
 *   read    read, pread, pread64, readv, preadv, preadv64, mmap, mmap64 of a file
 * Each call is named by the path it acts on: the path given (made absolute and cleaned lexically,
 * ".." taken back), the path of its folder descriptor joined with the name, or for calls on a
 * descriptor the path /proc/self/fd gives (an unnamed O_TMPFILE file: "<folder>/#<inode>
 * (deleted)"; a link made from "/proc/self/fd/<n>" names that file).  Renames and links are named
 * by both paths.
 *
 * Environment:
 *   VX_IOFAULT_STATE    a file of at least 4 KiB mapped shared by every process of the run; its
 *                       counters are the run's (the driver makes it, zeroed).  Without it the
 *                       library does nothing.
 *   VX_IOFAULT_PROGRAM  the file name of the programs that take part (others pass through).
 *   VX_IOFAULT_LOG      record mode: every call of the nine kinds on an absolute path (not below
 *                       /proc, /sys or /dev) is appended as one line
 *                       "<seq>\t<kind>\t<pid>\t<function>\t<result>\t<path>[\t<path2>]",
 *                       <result> "ok", "err <errno>" or "inject <errno>"; seq is the run's order.
 *   VX_IOFAULT_KIND     inject mode: the kind whose calls are counted...
 *   VX_IOFAULT_PATHS    ...on these paths (':'-separated; "/x" is the folder or file /x and all
 *                       below it; a pattern with '*' (any run of characters, '/' included) must
 *                       match the whole path; empty: every path)...
 *   VX_IOFAULT_NTH      ...fails the N-th of them (counted from 1 over all processes and threads)
 *   VX_IOFAULT_ERRNO    with this error (ENOSPC, EIO, EROFS, EDQUOT or a number),
 *   VX_IOFAULT_FOREVER  and, when "1", every later one as well.
 * The state file's first words: [0] calls counted, [1] calls failed, [2] the record sequence.
 *
 * The hooks use no allocation: paths are built in stack buffers, the real functions are looked
 * up once with dlsym(RTLD_NEXT), and counters are atomic increments in the shared mapping.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

enum Kind { K_WRITE, K_CREATE, K_RENAME, K_MKDIR, K_SYNC, K_CHMOD, K_UNLINK, K_LINK, K_READ, K_COUNT };
static const char *const kKindNames[K_COUNT] = {"write", "create", "rename", "mkdir", "sync",
                                                "chmod", "unlink", "link", "read"};

#define MAX_PATTERNS 16
#define PATH_BUF (PATH_MAX * 2)

static struct {
    int active;        /* a state file is mapped and this program takes part */
    int logFd;         /* record mode */
    int injectKind;    /* -1: no injection */
    uint64_t nth;
    int error;
    int forever;
    int patterns;
    char pattern[MAX_PATTERNS][PATH_MAX];
    volatile uint64_t *shared;
} g;

static pthread_once_t g_once = PTHREAD_ONCE_INIT;

/* The real functions. */
#define REAL(name) static __typeof__(name) *real_##name
REAL(open); REAL(open64); REAL(openat); REAL(openat64); REAL(creat); REAL(creat64);
REAL(mkstemp); REAL(mkstemp64); REAL(mkostemp); REAL(mkostemp64); REAL(fopen); REAL(fopen64);
REAL(write); REAL(pwrite); REAL(pwrite64); REAL(writev); REAL(pwritev); REAL(pwritev64);
REAL(sendfile); REAL(sendfile64); REAL(fwrite);
REAL(rename); REAL(renameat); REAL(renameat2);
REAL(mkdir); REAL(mkdirat); REAL(mkdtemp);
REAL(fsync); REAL(fdatasync); REAL(syncfs); REAL(sync_file_range);
REAL(chmod); REAL(fchmod); REAL(fchmodat);
REAL(unlink); REAL(unlinkat); REAL(rmdir); REAL(remove);
REAL(link); REAL(linkat); REAL(symlink); REAL(symlinkat);
REAL(read); REAL(pread); REAL(pread64); REAL(readv); REAL(preadv); REAL(preadv64);
REAL(mmap); REAL(mmap64);
static int (*real___open_2)(const char *, int);
static int (*real___open64_2)(const char *, int);
static int (*real___openat_2)(int, const char *, int);
static int (*real___openat64_2)(int, const char *, int);

#define RESOLVE(name) real_##name = (__typeof__(real_##name))dlsym(RTLD_NEXT, #name)

static void resolveAll(void)
{
    RESOLVE(open); RESOLVE(open64); RESOLVE(openat); RESOLVE(openat64); RESOLVE(creat);
    RESOLVE(creat64); RESOLVE(mkstemp); RESOLVE(mkstemp64); RESOLVE(mkostemp);
    RESOLVE(mkostemp64); RESOLVE(fopen); RESOLVE(fopen64);
    RESOLVE(write); RESOLVE(pwrite); RESOLVE(pwrite64); RESOLVE(writev); RESOLVE(pwritev);
    RESOLVE(pwritev64); RESOLVE(sendfile); RESOLVE(sendfile64); RESOLVE(fwrite);
    RESOLVE(rename); RESOLVE(renameat); RESOLVE(renameat2);
    RESOLVE(mkdir); RESOLVE(mkdirat); RESOLVE(mkdtemp);
    RESOLVE(fsync); RESOLVE(fdatasync); RESOLVE(syncfs); RESOLVE(sync_file_range);
    RESOLVE(chmod); RESOLVE(fchmod); RESOLVE(fchmodat);
    RESOLVE(unlink); RESOLVE(unlinkat); RESOLVE(rmdir); RESOLVE(remove);
    RESOLVE(link); RESOLVE(linkat); RESOLVE(symlink); RESOLVE(symlinkat);
    RESOLVE(read); RESOLVE(pread); RESOLVE(pread64); RESOLVE(readv); RESOLVE(preadv);
    RESOLVE(preadv64); RESOLVE(mmap); RESOLVE(mmap64);
    real___open_2 = (int (*)(const char *, int))dlsym(RTLD_NEXT, "__open_2");
    real___open64_2 = (int (*)(const char *, int))dlsym(RTLD_NEXT, "__open64_2");
    real___openat_2 = (int (*)(int, const char *, int))dlsym(RTLD_NEXT, "__openat_2");
    real___openat64_2 = (int (*)(int, const char *, int))dlsym(RTLD_NEXT, "__openat64_2");
}

static int errnoByName(const char *text)
{
    if (!text || !*text)
        return EIO;
    if (!strcmp(text, "ENOSPC"))
        return ENOSPC;
    if (!strcmp(text, "EIO"))
        return EIO;
    if (!strcmp(text, "EROFS"))
        return EROFS;
    if (!strcmp(text, "EDQUOT"))
        return EDQUOT;
    const int number = atoi(text);
    return number > 0 ? number : EIO;
}

static int kindByName(const char *text)
{
    for (int k = 0; text && k < K_COUNT; ++k) {
        if (!strcmp(text, kKindNames[k]))
            return k;
    }
    return -1;
}

static void init(void)
{
    resolveAll();
    g.logFd = -1;
    g.injectKind = -1;
    const char *statePath = getenv("VX_IOFAULT_STATE");
    if (!statePath || !*statePath)
        return;
    const char *program = getenv("VX_IOFAULT_PROGRAM");
    if (program && *program) {
        char exe[PATH_MAX];
        const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
        if (n <= 0)
            return;
        exe[n] = 0;
        const char *base = strrchr(exe, '/');
        if (strcmp(base ? base + 1 : exe, program) != 0)
            return;
    }
    const int fd = real_open(statePath, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return;
    void *map = real_mmap(NULL, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED)
        return;
    g.shared = (volatile uint64_t *)map;
    const char *logPath = getenv("VX_IOFAULT_LOG");
    if (logPath && *logPath)
        g.logFd = real_open(logPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    g.injectKind = kindByName(getenv("VX_IOFAULT_KIND"));
    const char *nth = getenv("VX_IOFAULT_NTH");
    g.nth = nth ? strtoull(nth, NULL, 10) : 0;
    if (g.nth == 0)
        g.injectKind = -1;
    g.error = errnoByName(getenv("VX_IOFAULT_ERRNO"));
    const char *forever = getenv("VX_IOFAULT_FOREVER");
    g.forever = forever && !strcmp(forever, "1");
    const char *paths = getenv("VX_IOFAULT_PATHS");
    while (paths && *paths && g.patterns < MAX_PATTERNS) {
        const char *end = strchr(paths, ':');
        const size_t length = end ? (size_t)(end - paths) : strlen(paths);
        if (length > 0 && length < PATH_MAX) {
            memcpy(g.pattern[g.patterns], paths, length);
            g.pattern[g.patterns][length] = 0;
            ++g.patterns;
        }
        paths = end ? end + 1 : NULL;
    }
    g.active = 1;
}

static int ready(void)
{
    pthread_once(&g_once, init);
    return g.active;
}

/* Whether calls of the kind need their paths: recorded or counted. */
static int watched(int kind)
{
    return ready() && (g.logFd >= 0 || g.injectKind == kind);
}

/* ---- paths ---------------------------------------------------------------------------------- */

/* Cleans an absolute path in place: "//", "/./" and "/x/../" go. */
static void cleanPath(char *path)
{
    char *out = path;
    const char *in = path;
    while (*in) {
        while (*in == '/')
            ++in;
        const char *end = in;
        while (*end && *end != '/')
            ++end;
        const size_t length = (size_t)(end - in);
        if (length == 0)
            break;
        if (length == 1 && in[0] == '.') {
            /* nothing */
        } else if (length == 2 && in[0] == '.' && in[1] == '.') {
            while (out > path && *(out - 1) != '/')
                --out;
            if (out > path)
                --out;
        } else {
            *out++ = '/';
            memmove(out, in, length);
            out += length;
        }
        in = end;
    }
    if (out == path)
        *out++ = '/';
    *out = 0;
}

static int fdPath(int fd, char *out, size_t size)
{
    char link[64];
    snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, out, size - 1);
    if (n <= 0) {
        out[0] = 0;
        return 0;
    }
    out[n] = 0;
    return 1;
}

/* The path of name taken from folder descriptor dirfd (AT_FDCWD: the working folder). */
static void atPath(int dirfd, const char *name, char *out, size_t size)
{
    out[0] = 0;
    if (!name)
        return;
    if (name[0] == '/') {
        snprintf(out, size, "%s", name);
    } else {
        char base[PATH_BUF];
        if (dirfd == AT_FDCWD) {
            const ssize_t n = readlink("/proc/self/cwd", base, sizeof(base) - 1);
            base[n > 0 ? n : 0] = 0;
        } else {
            fdPath(dirfd, base, sizeof(base));
        }
        if (base[0] != '/')
            return;
        if (name[0])
            snprintf(out, size, "%s/%s", base, name);
        else
            snprintf(out, size, "%s", base);
    }
    cleanPath(out);
    if (!strncmp(out, "/proc/self/fd/", 14)) {
        char target[PATH_BUF];
        const ssize_t n = readlink(out, target, sizeof(target) - 1);
        if (n > 0) {
            target[n] = 0;
            snprintf(out, size, "%s", target);
        }
    }
}

/* '*' stands for any run of characters, '/' included. */
static int globMatch(const char *pattern, const char *text)
{
    const char *star = NULL;
    const char *resume = NULL;
    while (*text) {
        if (*pattern == '*') {
            star = pattern++;
            resume = text;
        } else if (*pattern == *text) {
            ++pattern;
            ++text;
        } else if (star) {
            pattern = star + 1;
            text = ++resume;
        } else {
            return 0;
        }
    }
    while (*pattern == '*')
        ++pattern;
    return *pattern == 0;
}

static int matchesOne(const char *path)
{
    if (!path || path[0] != '/')
        return 0;
    if (g.patterns == 0)
        return 1;
    for (int i = 0; i < g.patterns; ++i) {
        const char *p = g.pattern[i];
        if (strchr(p, '*')) {
            if (globMatch(p, path))
                return 1;
        } else {
            const size_t length = strlen(p);
            if (!strncmp(path, p, length) && (path[length] == 0 || path[length] == '/' || p[length - 1] == '/'))
                return 1;
        }
    }
    return 0;
}

static int recordable(const char *path)
{
    return path && path[0] == '/' && strncmp(path, "/proc/", 6) && strncmp(path, "/sys/", 5) &&
        strncmp(path, "/dev/", 5);
}

/* ---- the decision --------------------------------------------------------------------------- */

/* Called before the real call: nonzero when it is to fail (errno is then set). */
static int injectNow(int kind, const char *path, const char *path2)
{
    if (g.injectKind != kind || !g.shared)
        return 0;
    if (!matchesOne(path) && !matchesOne(path2))
        return 0;
    const uint64_t n = __atomic_add_fetch(&g.shared[0], 1, __ATOMIC_SEQ_CST);
    if (n == g.nth || (g.forever && n > g.nth)) {
        __atomic_add_fetch(&g.shared[1], 1, __ATOMIC_SEQ_CST);
        return 1;
    }
    return 0;
}

static void appendNumber(char **at, uint64_t value)
{
    char digits[24];
    int n = 0;
    do {
        digits[n++] = (char)('0' + value % 10);
        value /= 10;
    } while (value);
    while (n)
        *(*at)++ = digits[--n];
}

static void appendText(char **at, const char *end, const char *text)
{
    while (text && *text && *at < end)
        *(*at)++ = *text++;
}

static void record(int kind, const char *function, int injected, int failed, int error,
                   const char *path, const char *path2)
{
    if (g.logFd < 0 || !(recordable(path) || recordable(path2)))
        return;
    char line[PATH_BUF * 2 + 256];
    const char *end = line + sizeof(line) - 2;
    char *at = line;
    appendNumber(&at, __atomic_add_fetch(&g.shared[2], 1, __ATOMIC_SEQ_CST));
    *at++ = '\t';
    appendText(&at, end, kKindNames[kind]);
    *at++ = '\t';
    appendNumber(&at, (uint64_t)getpid());
    *at++ = '\t';
    appendText(&at, end, function);
    *at++ = '\t';
    if (injected || failed) {
        appendText(&at, end, injected ? "inject " : "err ");
        appendNumber(&at, (uint64_t)error);
    } else {
        appendText(&at, end, "ok");
    }
    *at++ = '\t';
    appendText(&at, end, path ? path : "");
    if (path2) {
        *at++ = '\t';
        appendText(&at, end, path2);
    }
    *at++ = '\n';
    ssize_t ignored = real_write(g.logFd, line, (size_t)(at - line));
    (void)ignored;
}

/* The common frame of every hook: decide, call, record.  `call` is an expression using the real
 * function; `failed` tells from its result whether it failed. */
#define HOOK(kind, function, pathExpr, path2Expr, failValue, call, failed)                        \
    do {                                                                                          \
        if (!watched(kind))                                                                       \
            return call;                                                                          \
        char path_[PATH_BUF];                                                                     \
        char path2_[PATH_BUF];                                                                    \
        path_[0] = path2_[0] = 0;                                                                 \
        pathExpr;                                                                                 \
        path2Expr;                                                                                \
        const char *p2_ = path2_[0] ? path2_ : NULL;                                              \
        if (injectNow(kind, path_, p2_)) {                                                        \
            record(kind, function, 1, 0, g.error, path_, p2_);                                    \
            errno = g.error;                                                                      \
            return failValue;                                                                     \
        }                                                                                         \
        __typeof__(call) result_ = call;                                                          \
        const int error_ = errno;                                                                 \
        const int failed_ = (failed);                                                             \
        record(kind, function, 0, failed_, error_, path_, p2_);                                   \
        errno = error_;                                                                           \
        return result_;                                                                           \
    } while (0)

#define AT(dirfd, name, buf) atPath((dirfd), (name), buf, sizeof(buf))
#define FD(fd, buf) fdPath((fd), buf, sizeof(buf))
#define NONE ((void)0)

static int creates(int flags)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
}

static mode_t modeArg(int flags, va_list ap)
{
    return creates(flags) ? (mode_t)va_arg(ap, int) : 0;
}

/* ---- create --------------------------------------------------------------------------------- */

#define OPEN_HOOK(function, realCall, dirfd)                                                      \
    do {                                                                                          \
        if (!creates(flags))                                                                      \
            return realCall;                                                                      \
        HOOK(K_CREATE, function, AT(dirfd, path, path_), NONE, -1, realCall, result_ < 0);        \
    } while (0)

EXPORT int open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeArg(flags, ap);
    va_end(ap);
    pthread_once(&g_once, init);
    OPEN_HOOK("open", real_open(path, flags, mode), AT_FDCWD);
}

EXPORT int open64(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeArg(flags, ap);
    va_end(ap);
    pthread_once(&g_once, init);
    OPEN_HOOK("open64", real_open64(path, flags, mode), AT_FDCWD);
}

EXPORT int openat(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeArg(flags, ap);
    va_end(ap);
    pthread_once(&g_once, init);
    OPEN_HOOK("openat", real_openat(dirfd, path, flags, mode), dirfd);
}

EXPORT int openat64(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeArg(flags, ap);
    va_end(ap);
    pthread_once(&g_once, init);
    OPEN_HOOK("openat64", real_openat64(dirfd, path, flags, mode), dirfd);
}

/* The checked forms are called only without O_CREAT: they are passed on (kept for the record of
 * which functions exist). */
EXPORT int __open_2(const char *path, int flags)
{
    pthread_once(&g_once, init);
    return real___open_2(path, flags);
}

EXPORT int __open64_2(const char *path, int flags)
{
    pthread_once(&g_once, init);
    return real___open64_2(path, flags);
}

EXPORT int __openat_2(int dirfd, const char *path, int flags)
{
    pthread_once(&g_once, init);
    return real___openat_2(dirfd, path, flags);
}

EXPORT int __openat64_2(int dirfd, const char *path, int flags)
{
    pthread_once(&g_once, init);
    return real___openat64_2(dirfd, path, flags);
}

EXPORT int creat(const char *path, mode_t mode)
{
    HOOK(K_CREATE, "creat", AT(AT_FDCWD, path, path_), NONE, -1, real_creat(path, mode), result_ < 0);
}

EXPORT int creat64(const char *path, mode_t mode)
{
    HOOK(K_CREATE, "creat64", AT(AT_FDCWD, path, path_), NONE, -1, real_creat64(path, mode), result_ < 0);
}

EXPORT int mkstemp(char *pattern)
{
    HOOK(K_CREATE, "mkstemp", AT(AT_FDCWD, pattern, path_), NONE, -1, real_mkstemp(pattern), result_ < 0);
}

EXPORT int mkstemp64(char *pattern)
{
    HOOK(K_CREATE, "mkstemp64", AT(AT_FDCWD, pattern, path_), NONE, -1, real_mkstemp64(pattern), result_ < 0);
}

EXPORT int mkostemp(char *pattern, int flags)
{
    HOOK(K_CREATE, "mkostemp", AT(AT_FDCWD, pattern, path_), NONE, -1, real_mkostemp(pattern, flags),
         result_ < 0);
}

EXPORT int mkostemp64(char *pattern, int flags)
{
    HOOK(K_CREATE, "mkostemp64", AT(AT_FDCWD, pattern, path_), NONE, -1,
         real_mkostemp64(pattern, flags), result_ < 0);
}

static int writesMode(const char *mode)
{
    return mode && (strchr(mode, 'w') || strchr(mode, 'a') || strchr(mode, '+'));
}

EXPORT FILE *fopen(const char *path, const char *mode)
{
    if (!writesMode(mode))
        return real_fopen ? real_fopen(path, mode) : (ready(), real_fopen(path, mode));
    HOOK(K_CREATE, "fopen", AT(AT_FDCWD, path, path_), NONE, NULL, real_fopen(path, mode), result_ == NULL);
}

EXPORT FILE *fopen64(const char *path, const char *mode)
{
    if (!writesMode(mode))
        return real_fopen64 ? real_fopen64(path, mode) : (ready(), real_fopen64(path, mode));
    HOOK(K_CREATE, "fopen64", AT(AT_FDCWD, path, path_), NONE, NULL, real_fopen64(path, mode),
         result_ == NULL);
}

/* ---- write ---------------------------------------------------------------------------------- */

EXPORT ssize_t write(int fd, const void *data, size_t size)
{
    HOOK(K_WRITE, "write", FD(fd, path_), NONE, -1, real_write(fd, data, size), result_ < 0);
}

EXPORT ssize_t pwrite(int fd, const void *data, size_t size, off_t offset)
{
    HOOK(K_WRITE, "pwrite", FD(fd, path_), NONE, -1, real_pwrite(fd, data, size, offset), result_ < 0);
}

EXPORT ssize_t pwrite64(int fd, const void *data, size_t size, off64_t offset)
{
    HOOK(K_WRITE, "pwrite64", FD(fd, path_), NONE, -1, real_pwrite64(fd, data, size, offset), result_ < 0);
}

EXPORT ssize_t writev(int fd, const struct iovec *iov, int count)
{
    HOOK(K_WRITE, "writev", FD(fd, path_), NONE, -1, real_writev(fd, iov, count), result_ < 0);
}

EXPORT ssize_t pwritev(int fd, const struct iovec *iov, int count, off_t offset)
{
    HOOK(K_WRITE, "pwritev", FD(fd, path_), NONE, -1, real_pwritev(fd, iov, count, offset), result_ < 0);
}

EXPORT ssize_t pwritev64(int fd, const struct iovec *iov, int count, off64_t offset)
{
    HOOK(K_WRITE, "pwritev64", FD(fd, path_), NONE, -1, real_pwritev64(fd, iov, count, offset), result_ < 0);
}

EXPORT ssize_t sendfile(int out, int in, off_t *offset, size_t count)
{
    HOOK(K_WRITE, "sendfile", FD(out, path_), NONE, -1, real_sendfile(out, in, offset, count), result_ < 0);
}

EXPORT ssize_t sendfile64(int out, int in, off64_t *offset, size_t count)
{
    HOOK(K_WRITE, "sendfile64", FD(out, path_), NONE, -1, real_sendfile64(out, in, offset, count),
         result_ < 0);
}

EXPORT size_t fwrite(const void *data, size_t size, size_t count, FILE *stream)
{
    HOOK(K_WRITE, "fwrite", FD(fileno(stream), path_), NONE, 0, real_fwrite(data, size, count, stream),
         result_ < count);
}

/* ---- rename, mkdir, sync, chmod, unlink, link ----------------------------------------------- */

EXPORT int rename(const char *from, const char *to)
{
    HOOK(K_RENAME, "rename", AT(AT_FDCWD, from, path_), AT(AT_FDCWD, to, path2_), -1, real_rename(from, to),
         result_ != 0);
}

EXPORT int renameat(int fromDir, const char *from, int toDir, const char *to)
{
    HOOK(K_RENAME, "renameat", AT(fromDir, from, path_), AT(toDir, to, path2_), -1,
         real_renameat(fromDir, from, toDir, to), result_ != 0);
}

EXPORT int renameat2(int fromDir, const char *from, int toDir, const char *to, unsigned int flags)
{
    HOOK(K_RENAME, "renameat2", AT(fromDir, from, path_), AT(toDir, to, path2_), -1,
         real_renameat2(fromDir, from, toDir, to, flags), result_ != 0);
}

EXPORT int mkdir(const char *path, mode_t mode)
{
    HOOK(K_MKDIR, "mkdir", AT(AT_FDCWD, path, path_), NONE, -1, real_mkdir(path, mode), result_ != 0);
}

EXPORT int mkdirat(int dirfd, const char *path, mode_t mode)
{
    HOOK(K_MKDIR, "mkdirat", AT(dirfd, path, path_), NONE, -1, real_mkdirat(dirfd, path, mode), result_ != 0);
}

EXPORT char *mkdtemp(char *pattern)
{
    HOOK(K_MKDIR, "mkdtemp", AT(AT_FDCWD, pattern, path_), NONE, NULL, real_mkdtemp(pattern), result_ == NULL);
}

EXPORT int fsync(int fd)
{
    HOOK(K_SYNC, "fsync", FD(fd, path_), NONE, -1, real_fsync(fd), result_ != 0);
}

EXPORT int fdatasync(int fd)
{
    HOOK(K_SYNC, "fdatasync", FD(fd, path_), NONE, -1, real_fdatasync(fd), result_ != 0);
}

EXPORT int syncfs(int fd)
{
    HOOK(K_SYNC, "syncfs", FD(fd, path_), NONE, -1, real_syncfs(fd), result_ != 0);
}

EXPORT int sync_file_range(int fd, off64_t offset, off64_t count, unsigned int flags)
{
    HOOK(K_SYNC, "sync_file_range", FD(fd, path_), NONE, -1, real_sync_file_range(fd, offset, count, flags),
         result_ != 0);
}

EXPORT int chmod(const char *path, mode_t mode)
{
    HOOK(K_CHMOD, "chmod", AT(AT_FDCWD, path, path_), NONE, -1, real_chmod(path, mode), result_ != 0);
}

EXPORT int fchmod(int fd, mode_t mode)
{
    HOOK(K_CHMOD, "fchmod", FD(fd, path_), NONE, -1, real_fchmod(fd, mode), result_ != 0);
}

EXPORT int fchmodat(int dirfd, const char *path, mode_t mode, int flags)
{
    HOOK(K_CHMOD, "fchmodat", AT(dirfd, path, path_), NONE, -1, real_fchmodat(dirfd, path, mode, flags),
         result_ != 0);
}

EXPORT int unlink(const char *path)
{
    HOOK(K_UNLINK, "unlink", AT(AT_FDCWD, path, path_), NONE, -1, real_unlink(path), result_ != 0);
}

EXPORT int unlinkat(int dirfd, const char *path, int flags)
{
    HOOK(K_UNLINK, "unlinkat", AT(dirfd, path, path_), NONE, -1, real_unlinkat(dirfd, path, flags),
         result_ != 0);
}

EXPORT int rmdir(const char *path)
{
    HOOK(K_UNLINK, "rmdir", AT(AT_FDCWD, path, path_), NONE, -1, real_rmdir(path), result_ != 0);
}

EXPORT int remove(const char *path)
{
    HOOK(K_UNLINK, "remove", AT(AT_FDCWD, path, path_), NONE, -1, real_remove(path), result_ != 0);
}

EXPORT int link(const char *from, const char *to)
{
    HOOK(K_LINK, "link", AT(AT_FDCWD, from, path_), AT(AT_FDCWD, to, path2_), -1, real_link(from, to),
         result_ != 0);
}

EXPORT int linkat(int fromDir, const char *from, int toDir, const char *to, int flags)
{
    HOOK(K_LINK, "linkat", AT(fromDir, from, path_), AT(toDir, to, path2_), -1,
         real_linkat(fromDir, from, toDir, to, flags), result_ != 0);
}

/* A link's target is text, not a path acted on: the link is named by where it is made. */
EXPORT int symlink(const char *target, const char *path)
{
    HOOK(K_LINK, "symlink", AT(AT_FDCWD, path, path_), NONE, -1, real_symlink(target, path), result_ != 0);
}

EXPORT int symlinkat(const char *target, int dirfd, const char *path)
{
    HOOK(K_LINK, "symlinkat", AT(dirfd, path, path_), NONE, -1, real_symlinkat(target, dirfd, path),
         result_ != 0);
}

/* ---- read ----------------------------------------------------------------------------------- */

EXPORT ssize_t read(int fd, void *data, size_t size)
{
    HOOK(K_READ, "read", FD(fd, path_), NONE, -1, real_read(fd, data, size), result_ < 0);
}

EXPORT ssize_t pread(int fd, void *data, size_t size, off_t offset)
{
    HOOK(K_READ, "pread", FD(fd, path_), NONE, -1, real_pread(fd, data, size, offset), result_ < 0);
}

EXPORT ssize_t pread64(int fd, void *data, size_t size, off64_t offset)
{
    HOOK(K_READ, "pread64", FD(fd, path_), NONE, -1, real_pread64(fd, data, size, offset), result_ < 0);
}

EXPORT ssize_t readv(int fd, const struct iovec *iov, int count)
{
    HOOK(K_READ, "readv", FD(fd, path_), NONE, -1, real_readv(fd, iov, count), result_ < 0);
}

EXPORT ssize_t preadv(int fd, const struct iovec *iov, int count, off_t offset)
{
    HOOK(K_READ, "preadv", FD(fd, path_), NONE, -1, real_preadv(fd, iov, count, offset), result_ < 0);
}

EXPORT ssize_t preadv64(int fd, const struct iovec *iov, int count, off64_t offset)
{
    HOOK(K_READ, "preadv64", FD(fd, path_), NONE, -1, real_preadv64(fd, iov, count, offset), result_ < 0);
}

/* A mapped file is read without calls: its mapping stands for the reads. */
EXPORT void *mmap(void *address, size_t length, int protection, int flags, int fd, off_t offset)
{
    if (fd < 0 || (flags & MAP_ANONYMOUS))
        return real_mmap ? real_mmap(address, length, protection, flags, fd, offset)
                         : (ready(), real_mmap(address, length, protection, flags, fd, offset));
    HOOK(K_READ, "mmap", FD(fd, path_), NONE, MAP_FAILED,
         real_mmap(address, length, protection, flags, fd, offset), result_ == MAP_FAILED);
}

EXPORT void *mmap64(void *address, size_t length, int protection, int flags, int fd, off64_t offset)
{
    if (fd < 0 || (flags & MAP_ANONYMOUS))
        return real_mmap64 ? real_mmap64(address, length, protection, flags, fd, offset)
                           : (ready(), real_mmap64(address, length, protection, flags, fd, offset));
    HOOK(K_READ, "mmap64", FD(fd, path_), NONE, MAP_FAILED,
         real_mmap64(address, length, protection, flags, fd, offset), result_ == MAP_FAILED);
}

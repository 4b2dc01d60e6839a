/* A program for the injector's own test: the calls it makes are counted, failed and recorded
 * by the injector when it is preloaded.
 *
 *   iofaultprobe mkdirs <folder> <processes> <threads> <per thread>
 *       each of <processes> processes (forks of this one) runs <threads> threads that each make
 *       <per thread> folders in <folder>; prints "failed <n>" (over all of them) and, for each
 *       failure, "errno <n>"
 *   iofaultprobe files <folder>
 *       in <folder>: creates "a" with openat on the folder's descriptor, writes and fsyncs it,
 *       renames it to "b", links "b" to "c", chmods "c", unlinks "b", reads "c"; prints each
 *       call's result ("<call> ok" or "<call> <errno>")
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

struct Work {
    const char *folder;
    int process;
    int thread;
    int count;
    int failed;
    int errors[64];
};

static void *makeFolders(void *argument)
{
    struct Work *work = argument;
    for (int i = 0; i < work->count; ++i) {
        char path[4096];
        snprintf(path, sizeof(path), "%s/p%d_t%d_%d", work->folder, work->process, work->thread, i);
        if (mkdir(path, 0700) != 0) {
            if (work->failed < 64)
                work->errors[work->failed] = errno;
            ++work->failed;
        }
    }
    return NULL;
}

/* One process's threads; writes its failures to fd as "errno <n>" lines. */
static int runThreads(const char *folder, int process, int threads, int count, int fd)
{
    pthread_t ids[64];
    struct Work work[64];
    if (threads > 64)
        threads = 64;
    for (int t = 0; t < threads; ++t) {
        memset(&work[t], 0, sizeof(work[t]));
        work[t].folder = folder;
        work[t].process = process;
        work[t].thread = t;
        work[t].count = count;
        pthread_create(&ids[t], NULL, makeFolders, &work[t]);
    }
    int failed = 0;
    for (int t = 0; t < threads; ++t) {
        pthread_join(ids[t], NULL);
        failed += work[t].failed;
        for (int i = 0; i < work[t].failed && i < 64; ++i)
            dprintf(fd, "errno %d\n", work[t].errors[i]);
    }
    return failed;
}

static int mkdirs(const char *folder, int processes, int threads, int count)
{
    int pipes[2];
    if (pipe(pipes) != 0)
        return 2;
    pid_t children[64];
    int made = 0;
    for (int p = 1; p < processes && made < 64; ++p) {
        const pid_t pid = fork();
        if (pid == 0) {
            close(pipes[0]);
            const int failed = runThreads(folder, p, threads, count, pipes[1]);
            _exit(failed > 255 ? 255 : failed);
        }
        if (pid > 0)
            children[made++] = pid;
    }
    int failed = runThreads(folder, 0, threads, count, pipes[1]);
    for (int i = 0; i < made; ++i) {
        int status = 0;
        waitpid(children[i], &status, 0);
        failed += WIFEXITED(status) ? WEXITSTATUS(status) : 1000;
    }
    close(pipes[1]);
    printf("failed %d\n", failed);
    fflush(stdout);
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipes[0], buffer, sizeof(buffer))) > 0)
        fwrite(buffer, 1, (size_t)n, stdout);
    return 0;
}

static void report(const char *call, int ok)
{
    if (ok)
        printf("%s ok\n", call);
    else
        printf("%s %d\n", call, errno);
}

static int files(const char *folder)
{
    const int dir = open(folder, O_RDONLY | O_DIRECTORY);
    if (dir < 0)
        return 2;
    const int fd = openat(dir, "a", O_WRONLY | O_CREAT | O_EXCL, 0644);
    report("openat", fd >= 0);
    if (fd >= 0) {
        report("write", write(fd, "data", 4) == 4);
        report("fsync", fsync(fd) == 0);
        close(fd);
    }
    report("renameat", renameat(dir, "a", dir, "b") == 0);
    report("linkat", linkat(dir, "b", dir, "c", 0) == 0);
    report("fchmodat", fchmodat(dir, "c", 0600, 0) == 0);
    report("unlinkat", unlinkat(dir, "b", 0) == 0);
    char buffer[16];
    const int in = openat(dir, "c", O_RDONLY);
    report("read", in >= 0 && read(in, buffer, sizeof(buffer)) >= 0);
    if (in >= 0)
        close(in);
    report("syncfs", syncfs(dir) == 0);
    close(dir);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 6 && !strcmp(argv[1], "mkdirs"))
        return mkdirs(argv[2], atoi(argv[3]), atoi(argv[4]), atoi(argv[5]));
    if (argc == 3 && !strcmp(argv[1], "files"))
        return files(argv[2]);
    fprintf(stderr, "usage: %s mkdirs <folder> <processes> <threads> <per thread> | files <folder>\n", argv[0]);
    return 2;
}

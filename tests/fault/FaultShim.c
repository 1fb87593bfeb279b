/* A full or failing disk for the fault-injection suite, loaded with LD_PRELOAD into tessaro and
 * every tool it runs. Writes, flushes to disk and renames of files below one folder are counted
 * across all processes of a run; from a chosen call on, every call of one kind fails with one
 * errno (a full disk stays full). Pipes, terminals and files elsewhere are never touched.
 *
 *   TESSARO_FAULT_DIR    only files below this folder count (no variable: the library does nothing)
 *   TESSARO_FAULT_COUNT  a file holding the shared counters: three 64-bit numbers, the calls of
 *                        each kind (write, fsync, rename) seen so far by every process of the run
 *   TESSARO_FAULT_OP     write, fsync or rename: the kind that fails (none: count only)
 *   TESSARO_FAULT_AFTER  how many calls of that kind succeed before the failures start
 *   TESSARO_FAULT_ERRNO  ENOSPC (default) or EIO
 *   TESSARO_FAULT_TRACE  a file that gets one line per counted call: process, kind, number, the
 *                        file, and whether it failed (for finding out who made the call)
 *
 * Writes through stdio are caught at fwrite; what stdio buffers and flushes later through its
 * own internal write is not. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

enum Kind { kWrite, kFsync, kRename, kKinds };

static struct {
  char dir[PATH_MAX];
  size_t dirLength;
  uint64_t* counters; /* kKinds counters shared by every process of the run */
  int failingKind;    /* -1: count only */
  uint64_t after;
  int error;
  int trace; /* -1: none */
} config;

/* The file the call being counted concerns, for the trace. */
static __thread char concernedPath[PATH_MAX];

/* The functions wrapped, as the next library in the search order (the C library, or the
 * sanitizer runtime in front of it) provides them. */
static struct {
  __typeof__(write)* write;
  __typeof__(pwrite)* pwrite;
  __typeof__(pwrite64)* pwrite64;
  __typeof__(writev)* writev;
  __typeof__(pwritev)* pwritev;
  __typeof__(pwritev64)* pwritev64;
  __typeof__(pwritev2)* pwritev2;
  __typeof__(sendfile)* sendfile;
  __typeof__(sendfile64)* sendfile64;
  __typeof__(copy_file_range)* copy_file_range;
  __typeof__(fwrite)* fwrite;
  __typeof__(fsync)* fsync;
  __typeof__(fdatasync)* fdatasync;
  __typeof__(rename)* rename;
  __typeof__(renameat)* renameat;
  __typeof__(renameat2)* renameat2;
} real;

static pthread_once_t configured = PTHREAD_ONCE_INIT;

#define RESOLVE(name) real.name = (__typeof__(name)*)dlsym(RTLD_NEXT, #name)

static void configure(void) {
  RESOLVE(write);
  RESOLVE(pwrite);
  RESOLVE(pwrite64);
  RESOLVE(writev);
  RESOLVE(pwritev);
  RESOLVE(pwritev64);
  RESOLVE(pwritev2);
  RESOLVE(sendfile);
  RESOLVE(sendfile64);
  RESOLVE(copy_file_range);
  RESOLVE(fwrite);
  RESOLVE(fsync);
  RESOLVE(fdatasync);
  RESOLVE(rename);
  RESOLVE(renameat);
  RESOLVE(renameat2);

  config.failingKind = -1;
  config.error = ENOSPC;
  config.trace = -1;
  const char* dir = getenv("TESSARO_FAULT_DIR");
  const char* countFile = getenv("TESSARO_FAULT_COUNT");
  if (!dir || !countFile || strlen(dir) == 0 || strlen(dir) >= sizeof config.dir) return;
  const int fd = open(countFile, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  const size_t size = kKinds * sizeof(uint64_t);
  struct stat info;
  /* Growing the file keeps what other processes counted already. */
  if (fstat(fd, &info) != 0 || ((size_t)info.st_size < size && ftruncate(fd, (off_t)size) != 0)) {
    close(fd);
    return;
  }
  void* shared = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (shared == MAP_FAILED) return;
  config.counters = shared;
  strcpy(config.dir, dir);
  config.dirLength = strlen(dir);
  while (config.dirLength > 1 && config.dir[config.dirLength - 1] == '/')
    config.dir[--config.dirLength] = '\0';

  const char* op = getenv("TESSARO_FAULT_OP");
  const char* after = getenv("TESSARO_FAULT_AFTER");
  const char* error = getenv("TESSARO_FAULT_ERRNO");
  if (op && after) {
    if (strcmp(op, "write") == 0) config.failingKind = kWrite;
    if (strcmp(op, "fsync") == 0) config.failingKind = kFsync;
    if (strcmp(op, "rename") == 0) config.failingKind = kRename;
    config.after = strtoull(after, NULL, 10);
  }
  if (error && strcmp(error, "EIO") == 0) config.error = EIO;
  const char* trace = getenv("TESSARO_FAULT_TRACE");
  if (trace) config.trace = open(trace, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
}

static int below(const char* path) {
  snprintf(concernedPath, sizeof concernedPath, "%s", path);
  return strncmp(path, config.dir, config.dirLength) == 0 &&
         (path[config.dirLength] == '/' || path[config.dirLength] == '\0');
}

static int fdBelow(int fd, int directoriesToo) {
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0) return 0;
  if (!S_ISREG(info.st_mode) && !(directoriesToo && S_ISDIR(info.st_mode))) return 0;
  char link[64];
  char path[PATH_MAX];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t length = readlink(link, path, sizeof path - 1);
  if (length <= 0) return 0;
  path[length] = '\0';
  return below(path);
}

/* `path` as an absolute path, relative ones taken against the folder of `dirfd`. */
static int pathBelow(int dirfd, const char* path) {
  if (!path) return 0;
  if (path[0] == '/') return below(path);
  char base[PATH_MAX];
  /* The folder decides; the name is only for the trace. */
  if (dirfd == AT_FDCWD) {
    if (!getcwd(base, sizeof base)) return 0;
  } else {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
    const ssize_t length = readlink(link, base, sizeof base - 1);
    if (length <= 0) return 0;
    base[length] = '\0';
  }
  const int concerned = below(base);
  if (snprintf(concernedPath, sizeof concernedPath, "%s/%s", base, path) >= (int)sizeof concernedPath)
    strcpy(concernedPath + sizeof concernedPath - 4, "...");
  return concerned;
}

/* Counts one call of `kind` when it concerns the folder; nonzero when the call is to fail. */
static int failing(enum Kind kind, int concerned) {
  if (!concerned) return 0;
  static const char* const names[kKinds] = {"write", "fsync", "rename"};
  const uint64_t index = __atomic_fetch_add(&config.counters[kind], 1, __ATOMIC_SEQ_CST);
  const int fails = (int)kind == config.failingKind && index >= config.after;
  if (config.trace >= 0) {
    char line[PATH_MAX + 128];
    const int length = snprintf(line, sizeof line, "%d %s %llu %s%s\n", (int)getpid(), names[kind],
                                (unsigned long long)index + 1, concernedPath, fails ? " FAILED" : "");
    if (length > 0)
      real.write(config.trace, line, (size_t)length < sizeof line ? (size_t)length : sizeof line - 1);
  }
  if (fails) errno = config.error;
  return fails;
}

static int active(void) {
  pthread_once(&configured, configure);
  return config.counters != NULL;
}

ssize_t write(int fd, const void* buffer, size_t count) {
  if (active() && failing(kWrite, fdBelow(fd, 0))) return -1;
  return real.write(fd, buffer, count);
}

ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset) {
  if (active() && failing(kWrite, fdBelow(fd, 0))) return -1;
  return real.pwrite(fd, buffer, count, offset);
}

ssize_t pwrite64(int fd, const void* buffer, size_t count, off64_t offset) {
  if (active() && failing(kWrite, fdBelow(fd, 0))) return -1;
  return real.pwrite64(fd, buffer, count, offset);
}

ssize_t writev(int fd, const struct iovec* vector, int count) {
  if (active() && failing(kWrite, fdBelow(fd, 0))) return -1;
  return real.writev(fd, vector, count);
}

ssize_t pwritev(int fd, const struct iovec* vector, int count, off_t offset) {
  if (active() && failing(kWrite, fdBelow(fd, 0))) return -1;
  return real.pwritev(fd, vector, count, offset);
}

ssize_t pwritev64(int fd, const struct iovec* vector, int count, off64_t offset) {
  if (active() && failing(kWrite, fdBelow(fd, 0))) return -1;
  return real.pwritev64(fd, vector, count, offset);
}

ssize_t pwritev2(int fd, const struct iovec* vector, int count, off_t offset, int flags) {
  if (active() && failing(kWrite, fdBelow(fd, 0))) return -1;
  return real.pwritev2(fd, vector, count, offset, flags);
}

ssize_t sendfile(int out, int in, off_t* offset, size_t count) {
  if (active() && failing(kWrite, fdBelow(out, 0))) return -1;
  return real.sendfile(out, in, offset, count);
}

ssize_t sendfile64(int out, int in, off64_t* offset, size_t count) {
  if (active() && failing(kWrite, fdBelow(out, 0))) return -1;
  return real.sendfile64(out, in, offset, count);
}

ssize_t copy_file_range(int in, off64_t* inOffset, int out, off64_t* outOffset, size_t count,
                        unsigned flags) {
  if (active() && failing(kWrite, fdBelow(out, 0))) return -1;
  return real.copy_file_range(in, inOffset, out, outOffset, count, flags);
}

size_t fwrite(const void* buffer, size_t size, size_t count, FILE* stream) {
  if (active() && size != 0 && count != 0 && failing(kWrite, fdBelow(fileno(stream), 0))) return 0;
  return real.fwrite(buffer, size, count, stream);
}

/* Flushes of folders count too: they make a rename last. */
int fsync(int fd) {
  if (active() && failing(kFsync, fdBelow(fd, 1))) return -1;
  return real.fsync(fd);
}

int fdatasync(int fd) {
  if (active() && failing(kFsync, fdBelow(fd, 1))) return -1;
  return real.fdatasync(fd);
}

int rename(const char* from, const char* to) {
  if (active() && failing(kRename, pathBelow(AT_FDCWD, from) || pathBelow(AT_FDCWD, to))) return -1;
  return real.rename(from, to);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
  if (active() && failing(kRename, pathBelow(fromDir, from) || pathBelow(toDir, to))) return -1;
  return real.renameat(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
  if (active() && failing(kRename, pathBelow(fromDir, from) || pathBelow(toDir, to))) return -1;
  return real.renameat2(fromDir, from, toDir, to, flags);
}

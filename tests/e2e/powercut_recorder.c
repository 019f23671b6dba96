// Preloaded (LD_PRELOAD) into the program by the power-cut test
// (powercut_e2e_test.cpp). It logs, in order, each C library call that
// changes what a disk would keep after a power cut, so that the test can
// replay the run and cut it after any one of them. The log (POWERCUT_LOG):
//   E <seq> <call>        one line per call; the lines below it belong to it
//   L <folder> <F|N>      a folder's listing, flushed (F) or only as it is now (N),
//   D <id> <type> <name>  then its entries (type d, f, l or o)
//   S <id> <copy>         a flushed file's whole content, copied to <log>.snap/<copy>
//   T <id>                a file's content changed since it was last flushed
//   P <hex>               text printed on standard output or error
// Ids are "dev:inode" in hex. Only files and folders under POWERCUT_ROOT are
// logged. The program's results, errno and output are left as they were.
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

int __open_2(const char*, int);
int __open64_2(const char*, int);
int __openat_2(int, const char*, int);
int __openat64_2(int, const char*, int);

static int log_fd = -1;
static unsigned long seq, copies;
static char root[PATH_MAX], snap_dir[PATH_MAX];
static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
static __thread int busy, saved_errno;
static struct stat dirty[512];  // files changed since their last flush
static int n_dirty;

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

__attribute__((constructor)) static void start(void) {
  const char* log = getenv("POWERCUT_LOG");
  const char* top = getenv("POWERCUT_ROOT");
  if (log == NULL || top == NULL || realpath(top, root) == NULL) return;
  snprintf(snap_dir, sizeof snap_dir, "%s.snap", log);
  busy = 1;
  mkdir(snap_dir, 0700);
  int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  // Far from the numbers the program's own files get.
  log_fd = fd < 0 ? -1 : fcntl(fd, F_DUPFD_CLOEXEC, 900);
  close(fd);
  busy = 0;
}

// Around each record: our own calls go straight through, errno is kept.
static int begin(void) {
  if (log_fd < 0 || busy) return 0;  // before start(), not even thread-local storage is ready
  saved_errno = errno;
  pthread_mutex_lock(&mutex);
  busy = 1;
  return 1;
}
static void end(void) {
  busy = 0;
  pthread_mutex_unlock(&mutex);
  errno = saved_errno;
}

static void emit(const char* format, ...) {
  char line[2 * PATH_MAX + 64];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(line, sizeof line - 1, format, ap);
  va_end(ap);
  if (n >= (int)sizeof line - 1) n = (int)sizeof line - 2, line[n++] = '\n';
  if (n > 0) (void)!write(log_fd, line, (size_t)n);
}

#define EVENT(...) (emit("E %lu ", ++seq), emit(__VA_ARGS__), emit("\n"))
#define ID(st) (unsigned long)(st).st_dev, (unsigned long)(st).st_ino


// What an open file is, for the log: its path under the root ("." for the root).
static const char* name_of(int fd, char* path) {
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, path, PATH_MAX - 1);
  path[n < 0 ? 0 : n] = '\0';
  size_t r = strlen(root);
  if (strncmp(path, root, r) != 0 || (path[r] != '/' && path[r] != '\0')) return path;
  return path[r] == '\0' ? "." : path + r + 1;
}

static int under_root(int fd) {
  char path[PATH_MAX];
  return name_of(fd, path) != path;
}

static void list_folder(int fd, char kind) {
  struct stat st;
  int own = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* d = own < 0 ? NULL : fdopendir(own);
  if (d == NULL || !under_root(own) || fstat(own, &st) != 0) {
    if (d != NULL) closedir(d); else if (own >= 0) close(own);
    return;
  }
  emit("L %lx:%lx %c\n", ID(st), kind);
  for (struct dirent* e; (e = readdir(d)) != NULL;) {
    struct stat es;
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0 ||
        fstatat(own, e->d_name, &es, AT_SYMLINK_NOFOLLOW) != 0)
      continue;
    char type = S_ISDIR(es.st_mode) ? 'd' : S_ISREG(es.st_mode) ? 'f' : S_ISLNK(es.st_mode) ? 'l' : 'o';
    emit("D %lx:%lx %c %s\n", ID(es), type, e->d_name);
  }
  closedir(d);
}

// The folder that holds `path` (taken from `at`), as it is now.
static void list_parent(int at, const char* path) {
  char dir[PATH_MAX];
  snprintf(dir, sizeof dir, "%s", path);
  for (size_t n = strlen(dir); n > 1 && dir[n - 1] == '/';) dir[--n] = '\0';
  char* slash = strrchr(dir, '/');
  if (slash == NULL) strcpy(dir, ".");
  else slash[slash == dir] = '\0';
  int fd = openat(at, dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) list_folder(fd, 'N'), close(fd);
}

static int find_dirty(const struct stat* st) {
  for (int i = 0; i < n_dirty; ++i)
    if (dirty[i].st_dev == st->st_dev && dirty[i].st_ino == st->st_ino) return i;
  return -1;
}

// A flush: a folder's listing, or a copy of a file's whole content.
static void flushed(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !under_root(fd)) return;
  if (S_ISDIR(st.st_mode)) return list_folder(fd, 'F');
  if (!S_ISREG(st.st_mode)) return;
  char name[32], path[PATH_MAX + 40], buf[65536], link[64];
  snprintf(name, sizeof name, "%lu", ++copies);
  snprintf(path, sizeof path, "%s/%s", snap_dir, name);
  int in = fd, out = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if ((fcntl(fd, F_GETFL) & O_ACCMODE) == O_WRONLY) {  // read through a second open of the same file
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    in = open(link, O_RDONLY | O_CLOEXEC);
  }
  ssize_t n = 0;
  for (off_t at = 0; (n = pread(in, buf, sizeof buf, at)) > 0; at += n)
    if (write(out, buf, (size_t)n) != n) break;
  if (in != fd) close(in);
  close(out);
  if (n == 0) emit("S %lx:%lx %s\n", ID(st), name);
  int i = find_dirty(&st);
  if (i >= 0) dirty[i] = dirty[--n_dirty];
}

// Content changed: the first change after a flush is a point worth a cut.
static void changed(int fd, const char* call) {
  struct stat st;
  if (fd <= 2 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || find_dirty(&st) >= 0 || !under_root(fd)) return;
  if (n_dirty < (int)(sizeof dirty / sizeof dirty[0])) dirty[n_dirty++] = st;
  char path[PATH_MAX];
  EVENT("%s(%s)", call, name_of(fd, path));
  emit("T %lx:%lx\n", ID(st));
}

static void printed(int fd, const char* call, const void* text, size_t n) {
  if (fd != 1 && fd != 2) return changed(fd, call);
  EVENT("%s(%d) printed", call, fd);
  for (size_t at = 0; at < n; at += 512) {
    char hex[1025];
    size_t k = 0;
    for (size_t i = at; i < n && i < at + 512; ++i) k += (size_t)sprintf(hex + k, "%02x", ((const unsigned char*)text)[i]);
    emit("P %s\n", hex);
  }
}

// Opens that may create (list the folder) or empty a file (changed).
static int opened(int fd, int at, const char* path, int flags, const char* call) {
  if (fd >= 0 && (flags & (O_CREAT | O_TRUNC)) && begin()) {
    EVENT("%s(%s, %#o)", call, path, flags);
    if (flags & O_CREAT) list_parent(at, path);
    if (flags & O_TRUNC) changed(fd, "truncate");
    end();
  }
  return fd;
}

#define MODE_ARG(flags) \
  mode_t mode = 0; \
  if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) { va_list ap; va_start(ap, flags); mode = va_arg(ap, mode_t); va_end(ap); }

int open(const char* p, int f, ...) { MODE_ARG(f) return opened(REAL(open)(p, f, mode), AT_FDCWD, p, f, "open"); }
int open64(const char* p, int f, ...) { MODE_ARG(f) return opened(REAL(open64)(p, f, mode), AT_FDCWD, p, f, "open"); }
int openat(int d, const char* p, int f, ...) { MODE_ARG(f) return opened(REAL(openat)(d, p, f, mode), d, p, f, "openat"); }
int openat64(int d, const char* p, int f, ...) { MODE_ARG(f) return opened(REAL(openat64)(d, p, f, mode), d, p, f, "openat"); }
int __open_2(const char* p, int f) { return opened(REAL(__open_2)(p, f), AT_FDCWD, p, f, "open"); }
int __open64_2(const char* p, int f) { return opened(REAL(__open64_2)(p, f), AT_FDCWD, p, f, "open"); }
int __openat_2(int d, const char* p, int f) { return opened(REAL(__openat_2)(d, p, f), d, p, f, "openat"); }
int __openat64_2(int d, const char* p, int f) { return opened(REAL(__openat64_2)(d, p, f), d, p, f, "openat"); }
int creat(const char* p, mode_t m) { return opened(REAL(creat)(p, m), AT_FDCWD, p, O_CREAT | O_TRUNC, "creat"); }
int creat64(const char* p, mode_t m) { return opened(REAL(creat64)(p, m), AT_FDCWD, p, O_CREAT | O_TRUNC, "creat"); }
int mkstemp(char* t) { return opened(REAL(mkstemp)(t), AT_FDCWD, t, O_CREAT, "mkstemp"); }
int mkstemp64(char* t) { return opened(REAL(mkstemp64)(t), AT_FDCWD, t, O_CREAT, "mkstemp"); }
int mkostemp(char* t, int f) { return opened(REAL(mkostemp)(t, f), AT_FDCWD, t, O_CREAT, "mkostemp"); }
int mkostemp64(char* t, int f) { return opened(REAL(mkostemp64)(t, f), AT_FDCWD, t, O_CREAT, "mkostemp"); }

// Calls that change names: the folders concerned, as they are now.
#define NAMES(call, at1, p1, at2, p2) \
  do { \
    if (rc == 0 && begin()) { \
      EVENT("%s(%s%s%s)", call, p1, p2 == NULL ? "" : ", ", p2 == NULL ? "" : p2); \
      list_parent(at1, p1); \
      if (p2 != NULL) list_parent(at2, p2); \
      end(); \
    } \
    return rc; \
  } while (0)
#define NO_PATH ((const char*)NULL)

int mkdir(const char* p, mode_t m) { int rc = REAL(mkdir)(p, m); NAMES("mkdir", AT_FDCWD, p, 0, NO_PATH); }
int mkdirat(int d, const char* p, mode_t m) { int rc = REAL(mkdirat)(d, p, m); NAMES("mkdirat", d, p, 0, NO_PATH); }
int rmdir(const char* p) { int rc = REAL(rmdir)(p); NAMES("rmdir", AT_FDCWD, p, 0, NO_PATH); }
int unlink(const char* p) { int rc = REAL(unlink)(p); NAMES("unlink", AT_FDCWD, p, 0, NO_PATH); }
int unlinkat(int d, const char* p, int f) { int rc = REAL(unlinkat)(d, p, f); NAMES("unlinkat", d, p, 0, NO_PATH); }
int rename(const char* a, const char* b) { int rc = REAL(rename)(a, b); NAMES("rename", AT_FDCWD, a, AT_FDCWD, b); }
int renameat(int da, const char* a, int db, const char* b) {
  int rc = REAL(renameat)(da, a, db, b);
  NAMES("renameat", da, a, db, b);
}
int renameat2(int da, const char* a, int db, const char* b, unsigned f) {
  int rc = REAL(renameat2)(da, a, db, b, f);
  NAMES("renameat2", da, a, db, b);
}
// A link's source may be "" (AT_EMPTY_PATH) or /proc/self/fd/N: only the new name's folder changes.
int link(const char* a, const char* b) { int rc = REAL(link)(a, b); NAMES("link", AT_FDCWD, b, 0, NO_PATH); }
int linkat(int da, const char* a, int db, const char* b, int f) {
  int rc = REAL(linkat)(da, a, db, b, f);
  NAMES("linkat", db, b, 0, NO_PATH);
}

// Flushes. sync_file_range makes nothing durable (no metadata, no cache flush).
static int flush_path(const char* path, const struct stat* st, int type, struct FTW* ftw) {
  (void)st, (void)type, (void)ftw;
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) flushed(fd), close(fd);
  return 0;
}
// sync and syncfs flush every file: those under the root, and unnamed ones held open.
static void flushed_all(void) {
  nftw(root, flush_path, 16, FTW_PHYS);
  DIR* d = opendir("/proc/self/fd");
  for (struct dirent* e; d != NULL && (e = readdir(d)) != NULL;) {
    struct stat st;
    int fd = atoi(e->d_name);
    if (e->d_name[0] != '.' && fd != dirfd(d) && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 0)
      flushed(fd);
  }
  if (d != NULL) closedir(d);
}
#define FLUSH(call, fd, all) \
  do { \
    if (rc == 0 && begin()) { \
      char path_[PATH_MAX]; \
      EVENT("%s(%s)", call, name_of(fd, path_)); \
      if (all) flushed_all(); \
      else flushed(fd); \
      end(); \
    } \
    return rc; \
  } while (0)

int fsync(int fd) { int rc = REAL(fsync)(fd); FLUSH("fsync", fd, 0); }
int fdatasync(int fd) { int rc = REAL(fdatasync)(fd); FLUSH("fdatasync", fd, 0); }
int syncfs(int fd) { int rc = REAL(syncfs)(fd); FLUSH("syncfs", fd, 1); }
void sync(void) {
  REAL(sync)();
  if (begin()) EVENT("sync()"), flushed_all(), end();
}

// Content changes, and text printed on standard output and error.
#define WROTE(ok, call, fd, text, n) \
  do { \
    if ((ok) && begin()) printed(fd, call, text, (size_t)(n)), end(); \
    return rc; \
  } while (0)

ssize_t write(int fd, const void* p, size_t n) { ssize_t rc = REAL(write)(fd, p, n); WROTE(rc > 0, "write", fd, p, rc); }
ssize_t pwrite(int fd, const void* p, size_t n, off_t o) {
  ssize_t rc = REAL(pwrite)(fd, p, n, o);
  WROTE(rc > 0, "pwrite", fd, p, rc);
}
ssize_t pwrite64(int fd, const void* p, size_t n, off64_t o) {
  ssize_t rc = REAL(pwrite64)(fd, p, n, o);
  WROTE(rc > 0, "pwrite", fd, p, rc);
}
ssize_t writev(int fd, const struct iovec* v, int c) {
  ssize_t rc = REAL(writev)(fd, v, c);
  char text[8192];  // what was printed, gathered from the pieces
  size_t n = 0;
  for (int i = 0; rc > 0 && fd <= 2 && i < c; ++i)
    for (size_t k = 0; k < v[i].iov_len && n < (size_t)rc && n < sizeof text; ++k) text[n++] = ((char*)v[i].iov_base)[k];
  WROTE(rc > 0, "writev", fd, text, n);
}
ssize_t pwritev(int fd, const struct iovec* v, int c, off_t o) {
  ssize_t rc = REAL(pwritev)(fd, v, c, o);
  WROTE(rc > 0, "pwritev", fd, "", 0);
}
ssize_t pwritev64(int fd, const struct iovec* v, int c, off64_t o) {
  ssize_t rc = REAL(pwritev64)(fd, v, c, o);
  WROTE(rc > 0, "pwritev", fd, "", 0);
}
ssize_t copy_file_range(int i, loff_t* ip, int fd, loff_t* op, size_t n, unsigned f) {
  ssize_t rc = REAL(copy_file_range)(i, ip, fd, op, n, f);
  WROTE(rc > 0, "copy_file_range", fd, "", 0);
}
ssize_t sendfile(int fd, int i, off_t* o, size_t n) {
  ssize_t rc = REAL(sendfile)(fd, i, o, n);
  WROTE(rc > 0, "sendfile", fd, "", 0);
}
ssize_t sendfile64(int fd, int i, off64_t* o, size_t n) {
  ssize_t rc = REAL(sendfile64)(fd, i, o, n);
  WROTE(rc > 0, "sendfile", fd, "", 0);
}
int ftruncate(int fd, off_t l) { int rc = REAL(ftruncate)(fd, l); WROTE(rc == 0, "ftruncate", fd, "", 0); }
int ftruncate64(int fd, off64_t l) { int rc = REAL(ftruncate64)(fd, l); WROTE(rc == 0, "ftruncate", fd, "", 0); }
int fallocate(int fd, int m, off_t o, off_t l) { int rc = REAL(fallocate)(fd, m, o, l); WROTE(rc == 0, "fallocate", fd, "", 0); }
int fallocate64(int fd, int m, off64_t o, off64_t l) {
  int rc = REAL(fallocate64)(fd, m, o, l);
  WROTE(rc == 0, "fallocate", fd, "", 0);
}
// The C library's buffered streams write through calls of its own that no
// preloaded library sees: their text counts as printed when it is handed over.
size_t fwrite(const void* p, size_t s, size_t n, FILE* f) {
  size_t rc = REAL(fwrite)(p, s, n, f);
  WROTE(rc > 0, "fwrite", fileno(f), p, rc * s);
}
int fputs(const char* t, FILE* f) { int rc = REAL(fputs)(t, f); WROTE(rc >= 0, "fputs", fileno(f), t, strlen(t)); }

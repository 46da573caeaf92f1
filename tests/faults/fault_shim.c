/* I/O fault injection for the Python tests, loaded with LD_PRELOAD.
 *
 * TAVOLIN_FAULT holds comma-separated rules "op:action[:key=value...]":
 *   op      read | pread | preadv | write | fsync | copy_file_range | sendfile | splice
 *           (pread covers pread/pread64, preadv covers preadv/preadv64,
 *           fsync covers fsync/fdatasync, sendfile covers sendfile/sendfile64)
 *   action  an errno name (eio, enospc, eintr, enosys, exdev, einval, eperm,
 *           eopnotsupp, ebadf, eagain, eoverflow): the call fails with it
 *           without doing anything;
 *           short: the call goes through asked for at most len bytes;
 *           zero:  the call returns 0 without doing anything (end of data for
 *                  a read, a write that accepts nothing);
 *           resize: (read, pread, preadv) the call goes through, then the
 *                  file is cut or extended to len bytes, as a writer racing
 *                  the reader would.
 *   after=N skip the first N calls the rule applies to (default 0)
 *   count=M act on M calls, 0 for every call after the skipped ones (default 1)
 *   len=K   the byte limit of "short" (default 1)
 *
 * A call is considered only when one of its descriptors is a regular file
 * whose path (readlink of /proc/self/fd/N) starts with TAVOLIN_FAULT_PATH;
 * without TAVOLIN_FAULT_PATH nothing is considered, so the interpreter's own
 * I/O is never disturbed.
 *
 * Every fault acted on is reported on standard error as
 *   "tavolin-fault: <op> <action> fd=<n>"
 * and, with TAVOLIN_FAULT_TRACE=1, every considered call as
 *   "tavolin-fault-trace: <op> fd=<n>"
 * so that a test can assert that its fault was really injected.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

enum op_kind { OP_READ, OP_PREAD, OP_PREADV, OP_WRITE, OP_FSYNC, OP_COPY_FILE_RANGE,
               OP_SENDFILE, OP_SPLICE, OP_COUNT };
static const char *const op_names[OP_COUNT] = {"read", "pread", "preadv", "write", "fsync",
                                               "copy_file_range", "sendfile", "splice"};

enum action_kind { ACT_ERRNO, ACT_SHORT, ACT_ZERO, ACT_RESIZE };

struct rule {
  int op;
  int action;
  int err;
  char action_name[16];
  long after;
  long count;
  long len;
  long seen;     /* calls considered by this rule */
};

#define MAX_RULES 16
static struct rule rules[MAX_RULES];
static int rule_count;
static char path_prefix[4096];
static size_t path_prefix_len;
static int trace;
static pthread_once_t config_once = PTHREAD_ONCE_INIT;

static const struct { const char *name; int err; } errno_names[] = {
    {"eio", EIO},       {"enospc", ENOSPC}, {"eintr", EINTR},         {"enosys", ENOSYS},
    {"exdev", EXDEV},   {"einval", EINVAL}, {"eperm", EPERM},         {"eopnotsupp", EOPNOTSUPP},
    {"ebadf", EBADF},   {"eagain", EAGAIN}, {"eoverflow", EOVERFLOW}, {"edquot", EDQUOT},
};

/* Writes straight to descriptor 2 with the system call, bypassing every
 * interposed write. */
static void report(const char *text) {
  size_t left = strlen(text);
  while (left > 0) {
    long n = syscall(SYS_write, 2, text, left);
    if (n <= 0) return;
    text += n;
    left -= (size_t)n;
  }
}

static void fatal_config(const char *what) {
  char line[256];
  snprintf(line, sizeof line, "tavolin-fault: bad TAVOLIN_FAULT rule: %s\n", what);
  report(line);
  _exit(97);
}

static int op_is_read(int op) { return op == OP_READ || op == OP_PREAD || op == OP_PREADV; }

static void parse_rule(char *text) {
  if (rule_count == MAX_RULES) fatal_config("too many rules");
  struct rule *r = &rules[rule_count];
  memset(r, 0, sizeof *r);
  r->count = 1;
  r->len = 1;
  char *save = NULL;
  char *op = strtok_r(text, ":", &save);
  char *action = strtok_r(NULL, ":", &save);
  if (op == NULL || action == NULL) fatal_config(text);
  r->op = -1;
  for (int i = 0; i < OP_COUNT; ++i) {
    if (strcmp(op, op_names[i]) == 0) r->op = i;
  }
  if (r->op < 0) fatal_config(op);
  snprintf(r->action_name, sizeof r->action_name, "%s", action);
  if (strcmp(action, "short") == 0) {
    r->action = ACT_SHORT;
  } else if (strcmp(action, "zero") == 0) {
    r->action = ACT_ZERO;
  } else if (strcmp(action, "resize") == 0) {
    if (op_is_read(r->op) == 0) fatal_config(action);
    r->action = ACT_RESIZE;
  } else {
    r->action = ACT_ERRNO;
    r->err = 0;
    for (size_t i = 0; i < sizeof errno_names / sizeof errno_names[0]; ++i) {
      if (strcmp(action, errno_names[i].name) == 0) r->err = errno_names[i].err;
    }
    if (r->err == 0) fatal_config(action);
  }
  for (char *kv = strtok_r(NULL, ":", &save); kv != NULL; kv = strtok_r(NULL, ":", &save)) {
    char *eq = strchr(kv, '=');
    if (eq == NULL) fatal_config(kv);
    *eq = '\0';
    char *end = NULL;
    const long value = strtol(eq + 1, &end, 10);
    if (*end != '\0' || value < 0) fatal_config(kv);
    if (strcmp(kv, "after") == 0) {
      r->after = value;
    } else if (strcmp(kv, "count") == 0) {
      r->count = value;
    } else if (strcmp(kv, "len") == 0) {
      r->len = value;
    } else {
      fatal_config(kv);
    }
  }
  ++rule_count;
}

static void load_config(void) {
  const char *prefix = getenv("TAVOLIN_FAULT_PATH");
  if (prefix != NULL) {
    snprintf(path_prefix, sizeof path_prefix, "%s", prefix);
    path_prefix_len = strlen(path_prefix);
  }
  const char *tr = getenv("TAVOLIN_FAULT_TRACE");
  trace = tr != NULL && strcmp(tr, "1") == 0;
  const char *rules = getenv("TAVOLIN_FAULT");
  if (rules == NULL) return;
  char copy[2048];
  snprintf(copy, sizeof copy, "%s", rules);
  char *save = NULL;
  for (char *item = strtok_r(copy, ",", &save); item != NULL; item = strtok_r(NULL, ",", &save)) {
    parse_rule(item);
  }
}

/* Whether `fd` is a regular file under the configured prefix. */
static int watched(int fd) {
  if (fd < 0 || path_prefix_len == 0) return 0;
  struct stat st;
  if (syscall(SYS_fstat, fd, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  char link[64];
  char target[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  /* readlinkat: aarch64 has no readlink system call. */
  const long n = syscall(SYS_readlinkat, AT_FDCWD, link, target, sizeof target - 1);
  if (n <= 0) return 0;
  target[n] = '\0';
  return (size_t)n >= path_prefix_len && memcmp(target, path_prefix, path_prefix_len) == 0;
}

/* What to do with one call: *fail_err set to an errno to fail, *zero set to
 * return 0, *limit lowered for a short call. Returns the descriptor to name
 * in reports, or -1 when the call is not considered at all. */
struct decision {
  int fail_err;
  int zero;
  size_t limit;
  long resize; /* the size to give the file after the call, or -1 */
};

/* Carries out a resize decided for `fd`'s file once its call is done,
 * through a writable descriptor of its own; returns `result` unchanged. */
static ssize_t after_call(int fd, const struct decision *d, ssize_t result) {
  if (d->resize < 0) return result;
  const int saved = errno;
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const long w = syscall(SYS_openat, AT_FDCWD, link, O_WRONLY | O_CLOEXEC);
  if (w < 0 || syscall(SYS_ftruncate, (int)w, d->resize) != 0) report("tavolin-fault: resize failed\n");
  if (w >= 0) syscall(SYS_close, (int)w);
  errno = saved;
  return result;
}

static int decide(int op, int fd_a, int fd_b, struct decision *d) {
  pthread_once(&config_once, load_config);
  d->fail_err = 0;
  d->zero = 0;
  d->limit = SIZE_MAX;
  d->resize = -1;
  if (rule_count == 0 && !trace) return -1;
  int fd = -1;
  if (watched(fd_a)) {
    fd = fd_a;
  } else if (watched(fd_b)) {
    fd = fd_b;
  }
  if (fd < 0) return -1;
  char line[128];
  if (trace) {
    snprintf(line, sizeof line, "tavolin-fault-trace: %s fd=%d\n", op_names[op], fd);
    report(line);
  }
  for (int i = 0; i < rule_count; ++i) {
    struct rule *r = &rules[i];
    if (r->op != op) continue;
    const long seen = __atomic_fetch_add(&r->seen, 1, __ATOMIC_SEQ_CST);
    if (seen < r->after) continue;
    if (r->count != 0 && seen >= r->after + r->count) continue;
    snprintf(line, sizeof line, "tavolin-fault: %s %s fd=%d\n", op_names[op], r->action_name, fd);
    report(line);
    if (r->action == ACT_ERRNO) {
      d->fail_err = r->err;
      return fd;
    }
    if (r->action == ACT_ZERO) {
      d->zero = 1;
      return fd;
    }
    if (r->action == ACT_RESIZE) {
      d->resize = r->len;
      continue;
    }
    if ((size_t)r->len < d->limit) d->limit = (size_t)r->len;
  }
  return fd;
}

#define REAL(name)                    \
  static __typeof__(&name) real_##name; \
  if (real_##name == NULL) real_##name = (__typeof__(&name))dlsym(RTLD_NEXT, #name)

static size_t cap(size_t want, const struct decision *d) {
  return want < d->limit ? want : d->limit;
}

ssize_t read(int fd, void *buf, size_t count) {
  REAL(read);
  struct decision d;
  if (decide(OP_READ, fd, -1, &d) >= 0) {
    if (d.fail_err != 0) {
      errno = d.fail_err;
      return -1;
    }
    if (d.zero) return 0;
    count = cap(count, &d);
  }
  return after_call(fd, &d, real_read(fd, buf, count));
}

static ssize_t pread_common(ssize_t (*real)(int, void *, size_t, off_t), int fd, void *buf,
                            size_t count, off_t offset) {
  struct decision d;
  if (decide(OP_PREAD, fd, -1, &d) >= 0) {
    if (d.fail_err != 0) {
      errno = d.fail_err;
      return -1;
    }
    if (d.zero) return 0;
    count = cap(count, &d);
  }
  return after_call(fd, &d, real(fd, buf, count, offset));
}

ssize_t pread(int fd, void *buf, size_t count, off_t offset) {
  REAL(pread);
  return pread_common(real_pread, fd, buf, count, offset);
}

ssize_t pread64(int fd, void *buf, size_t count, off_t offset) {
  REAL(pread64);
  return pread_common(real_pread64, fd, buf, count, offset);
}

static ssize_t preadv_common(ssize_t (*real)(int, const struct iovec *, int, off_t), int fd,
                             const struct iovec *iov, int iovcnt, off_t offset) {
  struct decision d;
  if (decide(OP_PREADV, fd, -1, &d) >= 0) {
    if (d.fail_err != 0) {
      errno = d.fail_err;
      return -1;
    }
    if (d.zero) return 0;
    if (d.limit != SIZE_MAX) {
      /* The same vector cut to `limit` bytes. */
      struct iovec cut[64];
      int n = 0;
      size_t left = d.limit;
      for (int i = 0; i < iovcnt && n < 64 && left > 0; ++i) {
        cut[n].iov_base = iov[i].iov_base;
        cut[n].iov_len = iov[i].iov_len < left ? iov[i].iov_len : left;
        left -= cut[n].iov_len;
        ++n;
      }
      return after_call(fd, &d, real(fd, cut, n, offset));
    }
  }
  return after_call(fd, &d, real(fd, iov, iovcnt, offset));
}

ssize_t preadv(int fd, const struct iovec *iov, int iovcnt, off_t offset) {
  REAL(preadv);
  return preadv_common(real_preadv, fd, iov, iovcnt, offset);
}

ssize_t preadv64(int fd, const struct iovec *iov, int iovcnt, off_t offset) {
  REAL(preadv64);
  return preadv_common(real_preadv64, fd, iov, iovcnt, offset);
}

ssize_t write(int fd, const void *buf, size_t count) {
  REAL(write);
  struct decision d;
  if (decide(OP_WRITE, fd, -1, &d) >= 0) {
    if (d.fail_err != 0) {
      errno = d.fail_err;
      return -1;
    }
    if (d.zero) return 0;
    count = cap(count, &d);
  }
  return real_write(fd, buf, count);
}

static int sync_common(int (*real)(int), int fd) {
  struct decision d;
  if (decide(OP_FSYNC, fd, -1, &d) >= 0 && d.fail_err != 0) {
    errno = d.fail_err;
    return -1;
  }
  return real(fd);
}

int fsync(int fd) {
  REAL(fsync);
  return sync_common(real_fsync, fd);
}

int fdatasync(int fd) {
  REAL(fdatasync);
  return sync_common(real_fdatasync, fd);
}

ssize_t copy_file_range(int fd_in, off_t *off_in, int fd_out, off_t *off_out, size_t len,
                        unsigned int flags) {
  REAL(copy_file_range);
  struct decision d;
  if (decide(OP_COPY_FILE_RANGE, fd_in, fd_out, &d) >= 0) {
    if (d.fail_err != 0) {
      errno = d.fail_err;
      return -1;
    }
    if (d.zero) return 0;
    len = cap(len, &d);
  }
  return real_copy_file_range(fd_in, off_in, fd_out, off_out, len, flags);
}

static ssize_t sendfile_common(ssize_t (*real)(int, int, off_t *, size_t), int out_fd, int in_fd,
                               off_t *offset, size_t count) {
  struct decision d;
  if (decide(OP_SENDFILE, in_fd, out_fd, &d) >= 0) {
    if (d.fail_err != 0) {
      errno = d.fail_err;
      return -1;
    }
    if (d.zero) return 0;
    count = cap(count, &d);
  }
  return real(out_fd, in_fd, offset, count);
}

ssize_t sendfile(int out_fd, int in_fd, off_t *offset, size_t count) {
  REAL(sendfile);
  return sendfile_common(real_sendfile, out_fd, in_fd, offset, count);
}

ssize_t sendfile64(int out_fd, int in_fd, off_t *offset, size_t count) {
  REAL(sendfile64);
  return sendfile_common(real_sendfile64, out_fd, in_fd, offset, count);
}

ssize_t splice(int fd_in, loff_t *off_in, int fd_out, loff_t *off_out, size_t len,
               unsigned int flags) {
  REAL(splice);
  struct decision d;
  if (decide(OP_SPLICE, fd_in, fd_out, &d) >= 0) {
    if (d.fail_err != 0) {
      errno = d.fail_err;
      return -1;
    }
    if (d.zero) return 0;
    len = cap(len, &d);
  }
  return real_splice(fd_in, off_in, fd_out, off_out, len, flags);
}

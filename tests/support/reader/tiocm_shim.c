/* Preloaded into Wine test processes: a pseudo-terminal has no modem lines, so
 * TIOCMGET fails on it and Wine then completes every pending WaitCommEvent at
 * once. Answering it on ptys makes the wait stay pending until data arrives,
 * as on a real serial port. Every other call goes straight through.
 * A pty listed (one path a line) in $WINEPREFIX/quillon-tiocm-off is left as it
 * is: the fake reader lists lines that must behave like a driver whose waits
 * always complete at once. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

/* Marker a process can look for in its own maps to see that the shim is loaded. */
__attribute__((visibility("default"))) const char quillon_tiocm_shim_loaded[] = "quillon-tiocm-shim";

static int is_pty(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
  unsigned int m = major(st.st_rdev);
  return m >= 136 && m <= 143; /* Unix98 pty slaves */
}

static int listed_off(int fd) {
  const char* prefix = getenv("WINEPREFIX");
  char path[4096], tty[256], line[256];
  if (!prefix || ttyname_r(fd, tty, sizeof tty) != 0) return 0;
  snprintf(path, sizeof path, "%s/quillon-tiocm-off", prefix);
  FILE* f = fopen(path, "r");
  if (!f) return 0;
  int found = 0;
  while (!found && fgets(line, sizeof line, f)) {
    line[strcspn(line, "\n")] = 0;
    found = strcmp(line, tty) == 0;
  }
  fclose(f);
  return found;
}

static int answer(ioctl_fn real, int fd, unsigned long request, void* arg) {
  int saved = errno;
  int result = real(fd, request, arg);
  /* A hung-up line fails with EIO, which must still reach Wine as the loss of the device. */
  if (result == -1 && request == TIOCMGET && (errno == ENOTTY || errno == EINVAL) && is_pty(fd) && arg &&
      !listed_off(fd)) {
    *(int*)arg = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
    errno = saved;
    return 0;
  }
  return result;
}

static ioctl_fn next(const char* name) { return (ioctl_fn)dlsym(RTLD_NEXT, name); }

int ioctl(int fd, unsigned long request, ...) {
  static ioctl_fn real;
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (!real) real = next("ioctl");
  return answer(real, fd, request, arg);
}

/* 32-bit glibc with 64-bit time routes ioctl here. */
int __ioctl_time64(int fd, unsigned long request, ...) {
  static ioctl_fn real;
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (!real) real = next("__ioctl_time64");
  if (!real) real = next("ioctl");
  return answer(real, fd, request, arg);
}

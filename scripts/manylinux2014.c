/* Linked into the x86_64 wheels' extension modules by scripts/wheel, so
 * that modules compiled by the build machine's GCC against its own (newer)
 * glibc, with libstdc++ linked in statically, load on glibc 2.17.
 *
 * A newer glibc gives a few functions a new symbol version, or adds them,
 * and the modules would then ask for that version.  The link routes those
 * calls here (-Wl,--wrap=NAME makes every call to NAME, libstdc++'s
 * included, a call to __wrap_NAME), and each wrapper calls the version
 * glibc 2.17 already had.  None of this changes what the calls do. */
#define _GNU_SOURCE
#include <errno.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

/* glibc 2.32 added this flag; libstdc++ reads it to skip atomic reference
 * counts while the process has a single thread.  Our own copy, hidden and
 * always 0, binds every reference in the module: the counts are always
 * atomic, which is correct with any number of threads. */
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;

/* stat and fstat became functions of their own in glibc 2.33; before that
 * the headers inlined calls to __xstat and __fxstat with the layout
 * version, 1 on x86_64. */
int marlet_xstat(int, const char *, struct stat *);
int marlet_fxstat(int, int, struct stat *);
__asm__(".symver marlet_xstat, __xstat@GLIBC_2.2.5");
__asm__(".symver marlet_fxstat, __fxstat@GLIBC_2.2.5");
int __wrap_stat(const char *path, struct stat *st) { return marlet_xstat(1, path, st); }
int __wrap_fstat(int fd, struct stat *st) { return marlet_fxstat(1, fd, st); }

/* The thread functions moved from libpthread into libc in glibc 2.34 under
 * a new version; the old one is the same function (and on glibc 2.17
 * libpthread, which CPython loads, defines it). */
int marlet_pthread_create(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
int marlet_pthread_join(pthread_t, void **);
int marlet_pthread_detach(pthread_t);
__asm__(".symver marlet_pthread_create, pthread_create@GLIBC_2.2.5");
__asm__(".symver marlet_pthread_join, pthread_join@GLIBC_2.2.5");
__asm__(".symver marlet_pthread_detach, pthread_detach@GLIBC_2.2.5");
int __wrap_pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*run)(void *), void *arg) {
  return marlet_pthread_create(thread, attr, run, arg);
}
int __wrap_pthread_join(pthread_t thread, void **result) { return marlet_pthread_join(thread, result); }
int __wrap_pthread_detach(pthread_t thread) { return marlet_pthread_detach(thread); }

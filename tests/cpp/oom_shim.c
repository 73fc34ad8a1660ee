/* Preloaded by the out-of-memory check: once armed with n, lets n more
 * allocations through and fails the next one. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stddef.h>

static long countdown = -1;

void oom_shim_arm(long n) { countdown = n; }

static int fail_now(void) {
  if (countdown < 0) return 0;
  if (countdown-- == 0) return 1;
  return 0;
}

void* malloc(size_t n) {
  static void* (*real)(size_t);
  if (!real) real = (void* (*)(size_t))dlsym(RTLD_NEXT, "malloc");
  return fail_now() ? NULL : real(n);
}

void* realloc(void* p, size_t n) {
  static void* (*real)(void*, size_t);
  if (!real) real = (void* (*)(void*, size_t))dlsym(RTLD_NEXT, "realloc");
  return fail_now() ? NULL : real(p, n);
}

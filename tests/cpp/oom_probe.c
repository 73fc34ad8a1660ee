/* Calls one export as the first call of the process, with the preloaded
 * shim failing the allocation numbered argv[2] (0 = the first). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "marlet.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  void (*arm)(long) = (void (*)(long))dlsym(RTLD_DEFAULT, "oom_shim_arm");
  if (arm == NULL) return 3;
  const char* marl = "  a: 1\n  b: \"x\"\nc: 2\n  d: \xc3\xa9\n";
  const char* json = "[{\"a\":\"1\",\"b\":\"\\u00e9\"},{}]";
  const char* which = argv[1];
  arm(atol(argv[2]));
  int ok;
  if (strcmp(which, "binary") == 0) {
    uint8_t* buffer = NULL;
    size_t length = 0;
    ok = marlet_parse_binary(marl, strlen(marl), &buffer, &length);
    arm(-1);
    marlet_free_buffer(buffer, length);
  } else {
    char* s = strcmp(which, "parse") == 0     ? marlet_parse(marl, strlen(marl))
              : strcmp(which, "compact") == 0 ? marlet_parse_compact(marl, strlen(marl))
                                              : marlet_write_compact(json, strlen(json));
    arm(-1);
    ok = s != NULL;
    marlet_free_string(s);
  }
  return ok ? 0 : 4;
}

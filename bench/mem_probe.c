/* Peak memory of one C export on one input shape, in a process of its own.
 *
 *   mem_probe EXPORT SHAPE COUNT
 *
 * EXPORT: parse, binary, compact (marlet_parse_compact) or write_compact.
 * SHAPE, built in memory (COUNT sets its size):
 *   tiny    COUNT one-field records `a:` (JSON: {"a":""})
 *   value   one field whose value is COUNT bytes of 'x'
 *   blank   COUNT empty lines (JSON: COUNT spaces inside [])
 *   record  one record of COUNT distinct fields (JSON: one object)
 * Prints one line: export shape input_bytes output_bytes peak_rss_bytes
 * peak_virtual_bytes, the peaks read from /proc/self/status after the call
 * (they include the input, the output and the process's own baseline). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "marlet.h"

static size_t status_kib(const char* field) {
  FILE* f = fopen("/proc/self/status", "r");
  char line[256];
  size_t value = 0;
  const size_t n = strlen(field);
  while (f != NULL && fgets(line, sizeof line, f) != NULL)
    if (strncmp(line, field, n) == 0) value = (size_t)strtoull(line + n, NULL, 10);
  if (f != NULL) fclose(f);
  return value;
}

/* Writes the shape at s, or only counts its bytes when s is NULL. */
static size_t fill(char* s, const char* shape, size_t count, int json) {
  size_t n = 0;
#define PUT(str) (s ? memcpy(s + n, (str), strlen(str)) : NULL, n += strlen(str))
  if (json) PUT("[");
  if (strcmp(shape, "tiny") == 0) {
    for (size_t i = 0; i < count; ++i) {
      if (json) PUT(i ? ",{\"a\":\"\"}" : "{\"a\":\"\"}");
      else PUT("a:\n");
    }
  } else if (strcmp(shape, "value") == 0) {
    PUT(json ? "{\"k\":\"" : "k: ");
    if (s) memset(s + n, 'x', count);
    n += count;
    if (json) PUT("\"}");
  } else if (strcmp(shape, "blank") == 0) {
    if (s) memset(s + n, json ? ' ' : '\n', count);
    n += count;
  } else if (strcmp(shape, "record") == 0) {
    if (json) PUT("{");
    for (size_t i = 0; i < count; ++i) {
      char field[48];
      if (json) snprintf(field, sizeof field, "%s\"k%zu\":\"v\"", i ? "," : "", i);
      else snprintf(field, sizeof field, "  k%zu: v\n", i);
      PUT(field);
    }
    if (json) PUT("}");
  } else {
    exit(2);
  }
  if (json) PUT("]");
  return n;
}

static char* build(const char* shape, size_t count, int json, size_t* length) {
  *length = fill(NULL, shape, count, json);
  char* s = malloc(*length);
  if (s == NULL) exit(2);
  fill(s, shape, count, json);
  return s;
}

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const char* which = argv[1];
  const int json = strcmp(which, "write_compact") == 0;
  size_t length;
  char* input = build(argv[2], (size_t)strtoull(argv[3], NULL, 10), json, &length);
  size_t out_length = 0;
  if (strcmp(which, "binary") == 0) {
    uint8_t* buffer = NULL;
    if (!marlet_parse_binary(input, length, &buffer, &out_length)) return 3;
    marlet_free_buffer(buffer, out_length);
  } else {
    char* out = strcmp(which, "parse") == 0     ? marlet_parse(input, length)
                : strcmp(which, "compact") == 0 ? marlet_parse_compact(input, length)
                                                : marlet_write_compact(input, length);
    if (out == NULL) return 3;
    out_length = strlen(out);
    marlet_free_string(out);
  }
  printf("%s %s %zu %zu %zu %zu\n", which, argv[2], length, out_length, status_kib("VmHWM:") * 1024,
         status_kib("VmPeak:") * 1024);
  free(input);
  return 0;
}

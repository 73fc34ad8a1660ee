/*
 * parse_example - print the records of a .marl document as JSON.
 *
 *   parse_example [file.marl]
 *
 * Without an argument it reads the sample document that ships beside this
 * file.
 */
#include <marlet.h>
#include <stdio.h>
#include <stdlib.h>

#ifndef SAMPLE_PATH
#define SAMPLE_PATH "sample.marl"
#endif

/* Reads a whole file into a malloc'd block; NULL if it cannot be read. */
static char* read_file(const char* path, size_t* length) {
  FILE* file = fopen(path, "rb");
  if (file == NULL) return NULL;
  size_t capacity = 4096;
  size_t used = 0;
  char* data = malloc(capacity);
  while (data != NULL) {
    used += fread(data + used, 1, capacity - used, file);
    if (used < capacity) break;
    char* grown = realloc(data, capacity * 2);
    if (grown == NULL) {
      free(data);
      data = NULL;
      break;
    }
    data = grown;
    capacity *= 2;
  }
  if (data != NULL && ferror(file)) {
    free(data);
    data = NULL;
  }
  fclose(file);
  *length = used;
  return data;
}

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : SAMPLE_PATH;
  size_t length = 0;
  char* text = read_file(path, &length);
  if (text == NULL) {
    fprintf(stderr, "parse_example: cannot read %s\n", path);
    return 1;
  }

  /* The library copies what it needs: the text can go as soon as it returns. */
  char* json = marlet_parse(text, length);
  free(text);
  if (json == NULL) {
    fprintf(stderr, "parse_example: %s is not well-formed UTF-8\n", path);
    return 1;
  }
  puts(json);
  marlet_free_string(json); /* never free(): the string belongs to the library's allocator */
  return 0;
}

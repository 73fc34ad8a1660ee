/*
 * marlet.h - the C interface of marlet.
 *
 * marlet reads Marlet documents, plain-text lists of records in which every
 * record is a set of `key: value` string fields, and renders their records
 * as JSON or as a length-prefixed binary encoding.
 *
 * Conventions shared by every function:
 *
 *   Input   A pointer to the first byte and a length in bytes.  The range
 *           needs no terminator and none is looked for; a NUL byte inside
 *           it is an ordinary character.  The whole range must be
 *           well-formed UTF-8 (no overlong forms, no surrogates, nothing
 *           above U+10FFFF, no truncated sequence), or the call fails
 *           before anything is read.  The input is only read, and only
 *           during the call.
 *
 *   Output  Strings are NUL-terminated UTF-8 in a block allocated for them
 *           alone.  The caller owns every returned string or buffer and
 *           releases it exactly once with marlet_free_string or
 *           marlet_free_buffer (never with free() or another allocator),
 *           on any thread, leaving its bytes unmodified until then.
 *
 *   Failure A null pointer (or 0 from marlet_parse_binary), with no code,
 *           message or errno.  A failed call allocates nothing and leaves
 *           nothing behind.  Exhausted memory or an internal fault writes
 *           one line to stderr and aborts the process.
 *
 *   Threads No global state and no locks: any number of threads may call
 *           any of these functions at once, also on the same input.
 *
 * The order of the members within one JSON object, or of the fields within
 * one record of the binary encoding, is arbitrary and may differ between
 * two calls on the same input; the records, their order and their contents
 * do not.
 */
#ifndef MARLET_H
#define MARLET_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define MARLET_API __declspec(dllimport)
#elif defined(__GNUC__)
#define MARLET_API __attribute__((visibility("default")))
#else
#define MARLET_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ========================================================================
 * The .marl text format
 * ====================================================================== */

/*
 * marlet_parse - read a .marl document and return its records as JSON.
 *
 *   text, length  the document as UTF-8 bytes.
 *
 * Returns a new string holding the JSON form of the records: an array of
 * objects whose member values are strings, with no whitespace, e.g.
 * [{"a":"1"},{"b":"2"}].  Control characters, '"' and '\' are escaped, so
 * the string never holds a byte below 0x20.  Release it with
 * marlet_free_string.
 *
 * Fails (returns NULL) when `text` is NULL (whatever `length` is) or the
 * range is not well-formed UTF-8.  A non-null `text` with length 0 gives "[]".
 */
MARLET_API char* marlet_parse(const char* text, size_t length);

/*
 * marlet_free_string - release a string returned by marlet_parse,
 * marlet_parse_compact or marlet_write_compact.
 *
 * NULL is accepted and does nothing.  The string's bytes must be as they
 * were returned: its size is found from its terminator.
 */
MARLET_API void marlet_free_string(char* string);

/* ========================================================================
 * The binary record encoding
 * ====================================================================== */

/*
 * marlet_parse_binary - read a .marl document and return its records in
 * the binary encoding.
 *
 *   text, length  the document as UTF-8 bytes.
 *   out_buffer    where to store the address of the new buffer.
 *   out_length    where to store the buffer's length in bytes.
 *
 * The encoding: every count and length is an unsigned 32-bit little-endian
 * integer.  The record count, then for each record its field count, then
 * for each field the key's length, the key's bytes, the value's length and
 * the value's bytes.  No header, padding or terminator; an empty list is
 * the 4 bytes 00 00 00 00.
 *
 * Returns 1 on success, after storing the buffer (never NULL, at least 4
 * bytes) and then its length.  Release the buffer with marlet_free_buffer,
 * passing that same length.
 *
 * Returns 0 and stores nothing (both out-parameters keep their values) when
 * any of `text`, `out_buffer` or `out_length` is NULL, when the range is
 * not well-formed UTF-8, or when a count or length would not fit in 32 bits.
 */
MARLET_API int marlet_parse_binary(const char* text, size_t length, uint8_t** out_buffer,
                                   size_t* out_length);

/*
 * marlet_free_buffer - release a buffer returned by marlet_parse_binary.
 *
 *   buffer  the buffer, or NULL.
 *   length  the length stored beside it.
 *
 * A NULL buffer or a length of 0 does nothing.
 */
MARLET_API void marlet_free_buffer(uint8_t* buffer, size_t length);

/* ========================================================================
 * The .marlc compact format
 * ====================================================================== */

/*
 * marlet_parse_compact - read a .marlc document and return its records as
 * JSON (the same form as marlet_parse).
 *
 * In .marlc text a record is a run of `key:value` lines ended by a blank
 * line; indentation has no meaning.  Every well-formed UTF-8 input gives a
 * string.  Release it with marlet_free_string.
 *
 * Fails (returns NULL) when `text` is NULL or the range is not well-formed
 * UTF-8.
 */
MARLET_API char* marlet_parse_compact(const char* text, size_t length);

/*
 * marlet_write_compact - write records given as JSON as .marlc text.
 *
 *   json, length  a JSON array of objects whose member values are all
 *                 strings (RFC 8259; whitespace allowed around tokens).
 *
 * Returns a new string with the .marlc text: each field as key, ':', value
 * and a line feed; each record followed by one more line feed.  Nothing is
 * escaped.  "[]" gives the empty string.  Release it with
 * marlet_free_string.
 *
 * Fails (returns NULL) when `json` is NULL, the range is not well-formed
 * UTF-8, the text is not JSON of that shape (including trailing characters,
 * a leading byte-order mark, lone surrogate escapes), or a key or value
 * holds U+0000, which the NUL-terminated result could not carry.
 */
MARLET_API char* marlet_write_compact(const char* json, size_t length);

#ifdef __cplusplus
}
#endif

#endif /* MARLET_H */

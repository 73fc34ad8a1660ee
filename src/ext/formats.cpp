// The format functions of marlet._ext: the package's writers, the binary
// reader, the .marlc and JSON readers in document order, and the line
// checker.
//
// The writers read each record the way it will be written: a dict through
// its own storage (PyDict_Next), any other mapping through one call of
// items(), every key and value as the exact UTF-8 of its str storage.  The
// lossy check then looks at those very bytes, so an object that answers
// `in` or items() differently cannot talk it out of refusing.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "document.hpp"
#include "ext.hpp"
#include "json_reader.hpp"
#include "ordered_fields.hpp"
#include "text.hpp"
#include "utf8.hpp"

namespace marlet_ext {
namespace {

using marlet_core::text::Field;

// ---------------------------------------------------------------------------
// Python str <-> UTF-8

// Appends the UTF-8 form of a str's storage to `out`.  A lone surrogate
// cannot be encoded: false then, and `out` holds a part.
template <class Unit>
bool encode_units(const Unit* p, Py_ssize_t n, std::string& out) {
  std::size_t size = out.size();
  out.resize(size + 4 * static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    const std::uint32_t c = p[i];
    if (c >= 0xd800 && c <= 0xdfff) return false;
    size = static_cast<std::size_t>(marlet_core::put_utf8(c, out.data() + size) - out.data());
  }
  out.resize(size);
  return true;
}

// Raises CPython's UnicodeEncodeError for a str that has no UTF-8 form, as
// marlet._errors makes it a MarletError too (looked up only then).
[[noreturn]] void raise_encode_error(PyObject* s) {
  if (PyRef encoded = PyRef::steal(PyUnicode_AsUTF8String(s)))
    throw std::runtime_error("a str with a lone surrogate was encoded");
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw_fetched();
  const Fetched encode_error = fetch_normalized();
  PyRef errors = or_fetched(PyImport_ImportModule("marlet._errors"));
  raise_object(or_fetched(PyObject_CallMethod(errors.get(), "utf8_encode_error", "O", encode_error.value.get())));
}

// Where a key's or value's bytes are: straight in an ASCII str's storage,
// or at an offset of the record's scratch text.
struct Piece {
  const char* direct;  // null: in scratch at `offset`
  std::size_t offset;
  std::size_t size;
};

Piece utf8_piece(PyObject* s, std::string& scratch) {
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(s) < 0) throw_fetched();
#endif
  const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  if (PyUnicode_IS_ASCII(s))
    return Piece{static_cast<const char*>(PyUnicode_DATA(s)), 0, static_cast<std::size_t>(n)};
  const std::size_t start = scratch.size();
  bool ok = true;
  switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND: ok = encode_units(PyUnicode_1BYTE_DATA(s), n, scratch); break;
    case PyUnicode_2BYTE_KIND: ok = encode_units(PyUnicode_2BYTE_DATA(s), n, scratch); break;
    default: ok = encode_units(PyUnicode_4BYTE_DATA(s), n, scratch); break;
  }
  if (!ok) raise_encode_error(s);
  return Piece{nullptr, start, scratch.size() - start};
}

// The number of characters in valid UTF-8.
std::size_t count_chars(const char* p, std::size_t n) noexcept {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < n; ++i) chars += (static_cast<unsigned char>(p[i]) & 0xc0) != 0x80;
  return chars;
}

// ---------------------------------------------------------------------------
// Reading the records to write

// The fields of one record, as the exact bytes to write, and the Python
// keys they came from (for error messages).
class RecordFields {
 public:
  // Reads record number `index`; raises TypeError for anything that is not
  // a mapping of str to str.
  void read(PyObject* record, std::size_t index) {
    pieces_.clear();
    keys_.clear();
    scratch_.clear();
    items_.reset();
    if (PyDict_Check(record)) {
      Py_ssize_t pos = 0;
      PyObject *key, *value;  // borrowed from the dict, which outlives this record's write
      while (PyDict_Next(record, &pos, &key, &value)) add(key, value, index);
    } else {
      // Only a record without items() is of the wrong type; whatever the
      // mapping's own methods raise (Ctrl-C included) propagates as it is.
      PyRef method = PyRef::steal(PyUnicode_Check(record) ? nullptr : PyObject_GetAttrString(record, "items"));
      if (!method) {
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_AttributeError)) throw_fetched();
        PyErr_Clear();
        raise_error(PyExc_TypeError, "record %zu is %s, not a mapping of str to str", index, Py_TYPE(record)->tp_name);
      }
      PyRef view = or_fetched(PyObject_CallNoArgs(method.get()));
      items_ = or_fetched(PySequence_List(view.get()));  // keeps the pairs alive while they are written
      PyObject* items = items_.get();
      const Py_ssize_t n = PyList_GET_SIZE(items);
      for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* pair = PyList_GET_ITEM(items, i);
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2)
          raise_error(PyExc_TypeError, "record %zu: items() gave %s, not a (key, value) pair", index,
                      Py_TYPE(pair)->tp_name);
        add(PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1), index);
      }
    }
    fields_.clear();
    for (std::size_t i = 0; i < pieces_.size(); i += 2)
      fields_.push_back(Field{view(pieces_[i]), view(pieces_[i + 1])});
  }

  std::span<const Field> fields() const noexcept { return fields_; }
  PyObject* key(std::size_t field) const noexcept { return keys_[field]; }

 private:
  void add(PyObject* key, PyObject* value, std::size_t index) {
    if (!PyUnicode_Check(key))
      raise_error(PyExc_TypeError, "record %zu: key %R is %s, not str", index, key, Py_TYPE(key)->tp_name);
    if (!PyUnicode_Check(value))
      raise_error(PyExc_TypeError, "record %zu, key %R: value is %s, not str", index, key, Py_TYPE(value)->tp_name);
    keys_.push_back(key);
    pieces_.push_back(utf8_piece(key, scratch_));
    pieces_.push_back(utf8_piece(value, scratch_));
  }
  std::string_view view(const Piece& p) const noexcept {
    return p.direct != nullptr ? std::string_view(p.direct, p.size) : std::string_view(scratch_.data() + p.offset, p.size);
  }

  std::vector<Piece> pieces_;
  std::vector<PyObject*> keys_;  // borrowed
  std::vector<Field> fields_;
  std::string scratch_;
  PyRef items_;
};

// dump(records, format, lossy, write, count, loss_error) -> bytes | int:
// the records through DocumentWriter (`count` None: none given).
PyRef dump(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 6) raise_error(PyExc_TypeError, "dump() takes 6 arguments");
  PyObject* records = args[0];
  using marlet_core::Format;
  const Format form = format_argument(args[1], {Format::marlc, Format::marl, Format::json, Format::binary});
  const int lossy = PyObject_IsTrue(args[2]);
  if (lossy < 0) throw_fetched();
  std::optional<std::size_t> count;
  if (form == Format::binary && args[4] != Py_None) {
    count = PyLong_AsSize_t(args[4]);
    if (*count == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw_fetched();
  }
  DocumentWriter document(form, lossy != 0, args[3] == Py_None ? nullptr : args[3], args[5], count);
  PyRef iterator = or_fetched(PyObject_GetIter(records));
  RecordFields record;
  for (;;) {
    PyRef item = PyRef::steal(PyIter_Next(iterator.get()));
    if (!item) {
      if (PyErr_Occurred()) throw_fetched();
      break;
    }
    record.read(item.get(), document.records());
    document.put(record.fields(), [&](std::size_t field) { return record.key(field); });
  }
  return document.finish();
}

// ---------------------------------------------------------------------------
// Binary reader

class BinaryReader {
 public:
  BinaryReader(const char* data, std::size_t size, PyObject* error) : data_(data), size_(size), error_(error) {}

  PyRef read() {
    const std::uint32_t count = u32("the record count");
    if (std::size_t{count} * 4 > size_ - pos_)
      fail(0, "the record count " + std::to_string(count) + " needs at least " + std::to_string(std::size_t{count} * 4) +
                  " more bytes, but " + std::to_string(size_ - pos_) + " remain");
    PyRef list = or_fetched(PyList_New(0));
    for (std::uint32_t r = 0; r < count; ++r) {
      PyRef record = read_record(r);
      if (PyList_Append(list.get(), record.get()) < 0) throw_fetched();
      if ((r & 4095) == 4095 && PyErr_CheckSignals() < 0) throw_fetched();
    }
    if (pos_ != size_) fail(pos_, std::to_string(size_ - pos_) + " bytes follow the last record");
    return list;
  }

 private:
  PyRef read_record(std::uint32_t r) {
    const std::size_t at = pos_;
    const std::string where = "record " + std::to_string(r);
    const std::uint32_t fields = u32(where + ": the field count");
    if (std::size_t{fields} * 8 > size_ - pos_)
      fail(at, where + ": " + std::to_string(fields) + " fields need at least " + std::to_string(std::size_t{fields} * 8) +
                   " more bytes, but " + std::to_string(size_ - pos_) + " remain");
    PyRef dict = or_fetched(PyDict_New());
    for (std::uint32_t f = 0; f < fields; ++f) {
      const std::size_t key_at = pos_;
      PyRef key = string(where + ", field " + std::to_string(f) + ": the key");
      PyRef value = string(where + ", field " + std::to_string(f) + ": the value");
      if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw_fetched();
      if (static_cast<std::size_t>(PyDict_GET_SIZE(dict.get())) != std::size_t{f} + 1) {
        PyRef shown = or_fetched(PyObject_Repr(key.get()));
        fail(key_at, where + ": the key " + PyUnicode_AsUTF8(shown.get()) + " occurs twice");
      }
    }
    return dict;
  }

  std::uint32_t u32(const std::string& what) {
    if (size_ - pos_ < 4)
      fail(pos_, "truncated: " + what + " needs 4 bytes, but " + std::to_string(size_ - pos_) + " remain");
    const auto* p = reinterpret_cast<const unsigned char*>(data_ + pos_);
    pos_ += 4;
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
  }

  PyRef string(const std::string& what) {
    const std::size_t at = pos_;
    const std::uint32_t n = u32(what + "'s length");
    if (n > size_ - pos_)
      fail(at, "truncated: " + what + " is " + std::to_string(n) + " bytes long, but " + std::to_string(size_ - pos_) +
                   " remain");
    const char* p = data_ + pos_;
    pos_ += n;
    const std::size_t bad = marlet_core::first_invalid_utf8(p, n);
    if (bad != n) fail(at + 4 + bad, what + " is not UTF-8");
    return make_str<kPolicy>(std::string_view(p, n));
  }

  [[noreturn]] void fail(std::size_t at, const std::string& message) {
    raise_object(or_fetched(PyObject_CallFunction(error_, "s#n", message.data(), static_cast<Py_ssize_t>(message.size()),
                                                  static_cast<Py_ssize_t>(at))));
  }

  const char* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  PyObject* error_;
};

// load_binary(data, error) -> list[dict[str, str]].  Truncated or
// inconsistent data (a length beyond the end, a count the remaining bytes
// cannot hold, a key or value that is not UTF-8, a key twice in one record,
// bytes after the last record) raises error(message, byte_offset).
PyRef load_binary(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) raise_error(PyExc_TypeError, "load_binary() takes 2 arguments");
  BytesView data(args[0]);
  return BinaryReader(data.text().data(), data.text().size(), args[1]).read();
}

// ---------------------------------------------------------------------------
// Readers in document order

// load_marlc(text) -> list[dict[str, str]], fields in document order.
// `text` is a str or bytes-like UTF-8 (already known to be valid).
PyRef load_marlc(PyObject*, PyObject* arg) {
  DictSink<kPolicy> sink;
  if (PyUnicode_Check(arg)) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(arg, &n);
    if (p == nullptr) throw_fetched();
    marlet_core::text::scan_compact(std::string_view(p, static_cast<std::size_t>(n)), sink);
  } else {
    BytesView data(arg);
    marlet_core::text::scan_compact(data.text(), sink);
  }
  return sink.take();
}

// load_json(text: str, error, skip) -> list[dict[str, str]], members in
// document order.  A rejected text raises error(message, text, pos, skip),
// `pos` counting characters.  A lone surrogate, which has no UTF-8 form, is
// read as '?' so that a fault before it or in place of it is the one
// reported; else the text is rejected at the surrogate.
PyRef load_json(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3 || !PyUnicode_Check(args[0]))
    raise_error(PyExc_TypeError, "load_json() takes a str and 2 more arguments");
  PyObject* doc = args[0];
  std::string_view text;
  PyRef utf8;  // the UTF-8 form of a str that is not ASCII
  Py_ssize_t surrogate = -1;
  if (PyUnicode_IS_ASCII(doc)) {
    text = std::string_view(static_cast<const char*>(PyUnicode_DATA(doc)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(doc)));
  } else {
    utf8 = PyRef::steal(PyUnicode_AsUTF8String(doc));
    if (!utf8) {
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw_fetched();
      const Fetched encode_error = fetch_normalized();
      PyObject* value = encode_error.value.get();
      if (value == nullptr || PyUnicodeEncodeError_GetStart(value, &surrogate) < 0) throw_fetched();
      utf8 = or_fetched(PyUnicode_AsEncodedString(doc, "utf-8", "replace"));
    }
    text = std::string_view(PyBytes_AS_STRING(utf8.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(utf8.get())));
  }
  DictSink<kPolicy> sink;
  marlet_core::JsonReader<std::string> reader(text, nullptr);
  const bool ok = reader.read(sink);
  if (ok && surrogate < 0) return sink.take();
  Py_ssize_t pos = ok ? surrogate : static_cast<Py_ssize_t>(count_chars(text.data(), reader.offset()));
  marlet_core::JsonFault fault = ok ? marlet_core::JsonFault::surrogate : reader.fault();
  if (surrogate >= 0 && pos > surrogate) {
    pos = surrogate;
    fault = marlet_core::JsonFault::surrogate;
  }
  raise_object(or_fetched(PyObject_CallFunction(args[1], "sOnO", marlet_core::message(fault), doc, pos, args[2])));
}

// ---------------------------------------------------------------------------
// Checker

// What check() finds, by the names the package's messages are keyed by.
enum class Problem { no_colon, empty_key, repeated_key };
constexpr const char* kProblemNames[] = {"no_colon", "empty_key", "repeated_key"};

// check(data, marl: bool, limit: int) -> list[(byte_offset, line, column,
// kind, key)]: the lines of a .marl (or .marlc) text that the reader passes
// over (no ':', an empty key) and the fields that repeat a key of their
// record, at most `limit` (0: all).  Lines and columns count from 1,
// columns in characters.  The text must be valid UTF-8.
PyRef check(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3) raise_error(PyExc_TypeError, "check() takes 3 arguments");
  BytesView data(args[0]);
  const int marl = PyObject_IsTrue(args[1]);
  if (marl < 0) throw_fetched();
  std::size_t limit = PyLong_AsSize_t(args[2]);
  if (limit == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw_fetched();
  const std::string_view text = data.text();

  // The scan touches no Python object, so it runs without the GIL and
  // collects what it finds; the Python list is built afterwards.
  struct Found {
    std::size_t offset, line, column;
    Problem kind;
    std::string_view key;
  };
  // Told by the reader's own scanner of each field, each close and each
  // line it passes over; lines and columns are counted only where
  // something is found.
  struct Checker {
    std::string_view text;
    std::size_t limit;
    std::vector<Found> found;
    marlet_core::OrderedFields keys;  // of the current record, to find a repeated one
    std::size_t line = 1, counted = 0;  // the line number at text[counted]
    struct Full {};  // thrown to stop once `limit` problems are found

    void field(std::string_view key, std::string_view) {
      if (!keys.add(key, {})) report(key.data(), Problem::repeated_key, key);
    }
    void close() noexcept { keys.clear(); }
    void skip(std::string_view rest) {
      report(rest.data(), rest.find(':') == std::string_view::npos ? Problem::no_colon : Problem::empty_key, {});
    }
    void report(const char* at, Problem kind, std::string_view key) {
      const auto offset = static_cast<std::size_t>(at - text.data());
      line += static_cast<std::size_t>(std::count(text.data() + counted, at, '\n'));
      counted = offset;
      const std::size_t lf = text.rfind('\n', offset);
      const std::size_t start = lf == std::string_view::npos ? 0 : lf + 1;
      found.push_back(Found{offset, line, 1 + count_chars(text.data() + start, offset - start), kind, key});
      if (found.size() == limit) throw Full{};
    }
  } checker{text, limit, {}, {}};
  Py_BEGIN_ALLOW_THREADS;
  try {
    marl ? marlet_core::text::scan_marl(text, checker) : marlet_core::text::scan_compact(text, checker);
  } catch (const Checker::Full&) {
  } catch (const std::bad_alloc&) {
    checker.found.clear();
    checker.found.shrink_to_fit();
    limit = static_cast<std::size_t>(-1);  // marks the failure
  }
  Py_END_ALLOW_THREADS;
  if (limit == static_cast<std::size_t>(-1)) throw std::bad_alloc();

  const std::vector<Found>& found = checker.found;
  PyRef list = or_fetched(PyList_New(static_cast<Py_ssize_t>(found.size())));
  for (std::size_t i = 0; i < found.size(); ++i) {
    const Found& f = found[i];
    PyRef key = f.kind == Problem::repeated_key
                    ? or_fetched(PyUnicode_DecodeUTF8(f.key.data(), static_cast<Py_ssize_t>(f.key.size()), "strict"))
                    : PyRef::borrow(Py_None);
    PyObject* entry = Py_BuildValue("nnnsO", static_cast<Py_ssize_t>(f.offset), static_cast<Py_ssize_t>(f.line),
                                    static_cast<Py_ssize_t>(f.column), kProblemNames[static_cast<int>(f.kind)],
                                    key.get());
    if (entry == nullptr) throw_fetched();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry);  // steals entry
  }
  return list;
}

// utf8_error(data) -> int | None: the offset of the first byte that is not
// part of well-formed UTF-8, or None.
PyObject* utf8_error(PyObject*, PyObject* arg) {
  BytesView data(arg);
  const std::string_view text = data.text();
  std::size_t bad = 0;
  Py_BEGIN_ALLOW_THREADS;
  bad = marlet_core::first_invalid_utf8(text.data(), text.size());
  Py_END_ALLOW_THREADS;
  if (bad == text.size()) Py_RETURN_NONE;
  return PyLong_FromSize_t(bad);
}

const PyMethodDef kMethods[] = {
    method<dump>("dump", METH_FASTCALL,
                 "dump(records, format, lossy, write, count, loss_error): write records in a format."),
    method<load_binary>("load_binary", METH_FASTCALL, "load_binary(data, error): read the binary encoding."),
    method<load_marlc>("load_marlc", METH_O, "load_marlc(text): the .marlc records, fields in document order."),
    method<load_json>("load_json", METH_FASTCALL,
                      "load_json(text, error, skip): the JSON form's records, members in document order."),
    method<check>("check", METH_FASTCALL,
                  "check(data, marl, limit): the lines the reader passes over and the repeated keys."),
    method<utf8_error>("utf8_error", METH_O, "utf8_error(data): offset of the first ill-formed UTF-8 byte, or None."),
};

}  // namespace

std::span<const PyMethodDef> format_methods() noexcept { return kMethods; }

}  // namespace marlet_ext

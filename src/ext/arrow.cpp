// The Arrow functions of marlet._ext: records read straight into string
// columns (marlet_core::columns), fed in chunks cut anywhere, and handed out
// through the Arrow C stream interface as "arrow_array_stream" capsules;
// and the rows of such a stream of string columns written as records.
//
// The exported arrays share the builder's buffers: each array keeps its
// batch alive until the consumer releases it, so nothing is copied on the
// way to pyarrow, polars or DuckDB.  Release callbacks touch no Python
// object and may run on any thread.
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "columns.hpp"
#include "document.hpp"
#include "ext.hpp"
#include "sources.hpp"
#include "stream.hpp"
#include "utf8.hpp"

namespace marlet_ext {
namespace {

// The Arrow C data interface, as its ABI fixes it.
struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  std::int64_t flags;
  std::int64_t n_children;
  ArrowSchema** children;
  ArrowSchema* dictionary;
  void (*release)(ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  std::int64_t length;
  std::int64_t null_count;
  std::int64_t offset;
  std::int64_t n_buffers;
  std::int64_t n_children;
  const void** buffers;
  ArrowArray** children;
  ArrowArray* dictionary;
  void (*release)(ArrowArray*);
  void* private_data;
};

struct ArrowArrayStream {
  int (*get_schema)(ArrowArrayStream*, ArrowSchema* out);
  int (*get_next)(ArrowArrayStream*, ArrowArray* out);
  const char* (*get_last_error)(ArrowArrayStream*);
  void (*release)(ArrowArrayStream*);
  void* private_data;
};

constexpr std::int64_t kNullable = 2;
constexpr const char* kStreamCapsule = "arrow_array_stream";
constexpr const char* kBuilderCapsule = "marlet._ext.columns";

using marlet_core::columns::Batch;
using marlet_core::columns::Block;
using marlet_core::columns::ColumnBuilder;
using marlet_core::columns::PieceColumns;

// ---- schema and arrays ----------------------------------------------------

// The release callback of an exported schema, array or stream whose private
// data is a T.  A struct's children go with it, except those a consumer
// has moved out: it releases those itself.
template <class T, class C>
void release(C* c) {
  auto* data = static_cast<T*>(c->private_data);
  if constexpr (requires { data->children; })
    for (C& child : data->children)
      if (child.release != nullptr) child.release(&child);
  delete data;
  c->release = nullptr;
}

// The private data of an exported struct schema or array.
template <class C>
struct Struct {
  explicit Struct(std::size_t width) : children(width), pointers(width) {
    for (std::size_t i = 0; i < width; ++i) pointers[i] = &children[i];
  }
  std::vector<C> children;
  std::vector<C*> pointers;
  const void* buffers[1] = {nullptr};  // a struct array's validity: none
};

// A struct of nullable utf8 fields named `names`.
void export_schema(const std::vector<std::string>& names, ArrowSchema* out) {
  auto data = std::make_unique<Struct<ArrowSchema>>(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    auto name = std::make_unique<std::string>(names[i]);
    data->children[i] =
        ArrowSchema{"u", name->c_str(), nullptr, kNullable, 0, nullptr, nullptr, &release<std::string>, name.get()};
    name.release();
  }
  *out = ArrowSchema{"+s", "", nullptr, 0, static_cast<std::int64_t>(names.size()), data->pointers.data(), nullptr,
                     &release<Struct<ArrowSchema>>, data.get()};
  data.release();
}

// One column array: its buffers belong to the shared batch, or, for a
// column the batch does not have, to the all-null blocks held here.
struct ColumnArray {
  std::shared_ptr<const Batch> batch;
  Block offsets, values, validity;
  const void* buffers[3];
};

void export_batch(const std::shared_ptr<const Batch>& batch, std::size_t width, ArrowArray* out) {
  auto data = std::make_unique<Struct<ArrowArray>>(width);
  const std::int64_t rows = batch->rows;
  for (std::size_t i = 0; i < width; ++i) {
    auto column = std::make_unique<ColumnArray>();
    std::int64_t nulls;
    if (i < batch->columns.size() && batch->columns[i].present()) {
      const auto& c = batch->columns[i];
      column->batch = batch;
      column->buffers[0] = c.nulls == 0 ? nullptr : c.validity.data();
      column->buffers[1] = c.offsets.data();
      column->buffers[2] = c.values.data();
      nulls = c.nulls;
    } else {
      const auto n = static_cast<std::size_t>(rows);
      column->offsets = Block::zeros(4 * (n + 1));
      column->validity = Block::zeros((n + 7) / 8);
      column->values = Block::zeros(0);
      column->buffers[0] = column->validity.data();
      column->buffers[1] = column->offsets.data();
      column->buffers[2] = column->values.data();
      nulls = rows;
    }
    data->children[i] =
        ArrowArray{rows, nulls, 0, 3, 0, column->buffers, nullptr, nullptr, &release<ColumnArray>, column.get()};
    column.release();
  }
  *out = ArrowArray{rows, 0, 0, 1, static_cast<std::int64_t>(width), data->buffers, data->pointers.data(), nullptr,
                    &release<Struct<ArrowArray>>, data.get()};
  data.release();
}

// ---- stream -------------------------------------------------------------

struct Stream {
  std::vector<std::string> names;
  std::vector<std::shared_ptr<const Batch>> batches;
  std::size_t next = 0;
  std::string error;
};

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  auto* s = static_cast<Stream*>(stream->private_data);
  try {
    export_schema(s->names, out);
    return 0;
  } catch (...) {
    s->error = "out of memory exporting the schema";
    return ENOMEM;
  }
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto* s = static_cast<Stream*>(stream->private_data);
  if (s->next == s->batches.size()) {
    out->release = nullptr;  // the end of the stream
    return 0;
  }
  try {
    export_batch(s->batches[s->next], s->names.size(), out);
    // The stream lets go of a batch once it is handed out: the arrays own it.
    s->batches[s->next++].reset();
    return 0;
  } catch (...) {
    s->error = "out of memory exporting a batch";
    return ENOMEM;
  }
}

const char* stream_last_error(ArrowArrayStream* stream) {
  auto* s = static_cast<Stream*>(stream->private_data);
  return s->error.empty() ? nullptr : s->error.c_str();
}

void destroy_stream_capsule(PyObject* capsule) {
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsule));
  if (stream == nullptr) {
    PyErr_Clear();
    return;
  }
  // A consumer that imported the stream has moved it out and left release
  // null; one that never did leaves it to us.
  if (stream->release != nullptr) stream->release(stream);
  delete stream;
}

PyRef stream_capsule(std::unique_ptr<Stream> data) {
  auto stream = std::make_unique<ArrowArrayStream>(
      ArrowArrayStream{&stream_get_schema, &stream_get_next, &stream_last_error, &release<Stream>, data.get()});
  data.release();
  PyObject* capsule = PyCapsule_New(stream.get(), kStreamCapsule, &destroy_stream_capsule);
  if (capsule == nullptr) {
    stream->release(stream.get());
    throw_fetched();
  }
  stream.release();
  return PyRef::steal(capsule);
}

// ---- builder ------------------------------------------------------------

using marlet_core::Format;

// A column builder fed by an incremental reader, so the text may come in
// chunks cut anywhere; or, given `jobs`, one that reads .marl or .marlc
// text from a file object itself, on the cut-point workers (arrow_read).
struct Builder {
  using Rounds = marlet_core::stream::TextRounds<PieceColumns>;
  Builder(Format f, ColumnBuilder c) : columns(std::move(c)), reader(f, columns) {}
  Builder(Format f, const std::optional<std::vector<std::string>>& fixed, std::size_t batch_rows, unsigned jobs,
          std::size_t chunk_size)
      : columns(fixed, batch_rows),
        reader(f, columns),
        pieces(std::in_place, f, columns, fixed, batch_rows),
        rounds(std::in_place, f, jobs, chunk_size, *pieces) {}
  ColumnBuilder columns;
  marlet_core::stream::Reader<ColumnBuilder> reader;
  std::optional<PieceColumns> pieces;  // with jobs: each piece's columns, adopted into `columns`
  std::optional<Rounds> rounds;
  Leftover leftover;  // of the file object's last read, for the next round
  std::deque<Batch> ready;  // finished, not yet taken
  bool finished = false;
  std::atomic<bool> busy{false};
};

// Marks a builder in use for the length of a call: the GIL is released
// while it works, so another thread could otherwise reach it.
class Claim {
 public:
  explicit Claim(Builder& b) : b_(b) {
    if (b_.busy.exchange(true))
      raise_error(PyExc_RuntimeError, "this Arrow reader is already in use by another thread");
  }
  ~Claim() { b_.busy.store(false); }
  Claim(const Claim&) = delete;
  Claim& operator=(const Claim&) = delete;

 private:
  Builder& b_;
};

void destroy_builder_capsule(PyObject* capsule) {
  auto* b = static_cast<Builder*>(PyCapsule_GetPointer(capsule, kBuilderCapsule));
  if (b == nullptr) {
    PyErr_Clear();
    return;
  }
  delete b;
}

Builder& builder_of(PyObject* capsule) {
  auto* b = static_cast<Builder*>(PyCapsule_GetPointer(capsule, kBuilderCapsule));
  if (b == nullptr) throw_fetched();
  return *b;
}

PyObject* arrow_builder(PyObject*, PyObject* args) {
  PyObject* format_name;
  PyObject* names;
  Py_ssize_t batch_rows;
  unsigned int jobs = 0;
  Py_ssize_t chunk_size = 0;
  if (!PyArg_ParseTuple(args, "OOn|In:arrow_builder", &format_name, &names, &batch_rows, &jobs, &chunk_size))
    throw_fetched();
  const Format format = jobs == 0 ? format_argument(format_name, {Format::marl, Format::marlc, Format::json})
                                  : format_argument(format_name, {Format::marl, Format::marlc});
  if (batch_rows <= 0) raise_error(PyExc_ValueError, "batch_rows must be positive");
  if (jobs != 0 && chunk_size <= 0) raise_error(PyExc_ValueError, "chunk_size must be positive");
  std::optional<std::vector<std::string>> fixed;
  if (names != Py_None) {
    PyRef seq = or_fetched(PySequence_Fast(names, "columns must be a sequence of str"));
    fixed.emplace();
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
      Py_ssize_t size;
      const char* utf8 = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &size) : nullptr;
      if (utf8 == nullptr && PyErr_Occurred()) throw_fetched();
      if (utf8 == nullptr) raise_error(PyExc_TypeError, "columns must hold str, not %.100s", Py_TYPE(item)->tp_name);
      fixed->emplace_back(utf8, static_cast<std::size_t>(size));
    }
  }
  const auto rows = static_cast<std::size_t>(batch_rows);
  auto b = jobs == 0 ? std::make_unique<Builder>(format, ColumnBuilder(std::move(fixed), rows))
                     : std::make_unique<Builder>(format, fixed, rows, jobs, static_cast<std::size_t>(chunk_size));
  PyObject* capsule = PyCapsule_New(b.get(), kBuilderCapsule, &destroy_builder_capsule);
  if (capsule == nullptr) throw_fetched();
  b.release();
  return capsule;
}

// Runs a reader step without the GIL; the step may take the GilReleased.
template <class Step>
void run_step(Step&& step) {
  std::optional<marlet_core::stream::ReadError> refused;
  {
    GilReleased unlocked;
    try {
      if constexpr (std::is_invocable_v<Step&, GilReleased&>) step(unlocked);
      else step();
    } catch (const marlet_core::stream::ReadError& failure) {
      refused.emplace(failure);
    }
  }
  if (refused) raise_read_error(*refused);
}

PyObject* arrow_feed(PyObject*, PyObject* args) {
  PyObject* capsule;
  PyObject* data;
  if (!PyArg_ParseTuple(args, "OO:arrow_feed", &capsule, &data)) throw_fetched();
  Builder& b = builder_of(capsule);
  BytesView view(data);
  Claim claim(b);
  if (b.finished || b.rounds) raise_error(PyExc_RuntimeError, "this Arrow reader has finished");
  run_step([&] { b.reader.feed(view.text()); });
  Py_RETURN_NONE;
}

// Reads the next round of the text from `file`, an int file descriptor or
// a file object, on the cut-point workers, or, with `all`, every round
// (answering signals between rounds), with the GIL released; returns
// whether more text follows.  The batches wait for arrow_take.  A failure
// finishes the reader.
PyObject* arrow_read(PyObject*, PyObject* args) {
  PyObject* capsule;
  PyObject* file;
  int all;
  if (!PyArg_ParseTuple(args, "OOp:arrow_read", &capsule, &file, &all)) throw_fetched();
  Builder& b = builder_of(capsule);
  const int fd = fd_argument(file);
  Claim claim(b);
  if (b.finished || !b.rounds) raise_error(PyExc_RuntimeError, "this Arrow reader has finished");
  b.finished = true;  // until the round is read
  bool more = false;
  try {
    run_step([&](GilReleased& gil) {
      std::optional<FdSource> fd_source;
      std::optional<PySource> py_source;
      marlet_core::stream::Source* source;
      if (fd >= 0) source = &fd_source.emplace(fd, "", gil);
      else source = &py_source.emplace(file, gil, &b.leftover);
      while ((more = b.rounds->step(*source)) && all) gil.check_signals();
    });
  } catch (const OsFailure& failure) {
    raise_os_failure(failure);
  }
  b.finished = !more;
  return PyBool_FromLong(more);
}

// With `single`, only the first finished batch, with the columns it was
// finished with; with `flush`, the text has ended and the last batch comes.
PyRef arrow_take(PyObject*, PyObject* args) {
  PyObject* capsule;
  int flush;
  int single = 0;
  if (!PyArg_ParseTuple(args, "Op|p:arrow_take", &capsule, &flush, &single)) throw_fetched();
  Builder& b = builder_of(capsule);
  Claim claim(b);
  if (flush && !b.finished && !b.rounds) {
    b.finished = true;
    run_step([&] { b.reader.finish(); });
  }
  for (Batch& batch : b.columns.take(flush != 0)) b.ready.push_back(std::move(batch));
  auto stream = std::make_unique<Stream>();
  stream->names = b.columns.names();
  // Field names cross the interface as C strings.
  for (const std::string& name : stream->names)
    if (name.find('\0') != std::string::npos)
      raise_error(PyExc_ValueError, "the key %R holds a NUL character, which an Arrow field name cannot",
                  or_fetched(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace")).get());
  if (single && !b.ready.empty()) {
    // One batch with the columns it was finished with.
    stream->names.resize(b.ready.front().columns.size());
    stream->batches.push_back(std::make_shared<const Batch>(std::move(b.ready.front())));
    b.ready.pop_front();
  } else {
    for (Batch& batch : b.ready) stream->batches.push_back(std::make_shared<const Batch>(std::move(batch)));
    b.ready.clear();
  }
  return stream_capsule(std::move(stream));
}

// -1 when `data` ends before it tells where the cut point is.
PyObject* cut_point(PyObject*, PyObject* args) {
  PyObject* format_name;
  PyObject* data;
  Py_ssize_t offset;
  if (!PyArg_ParseTuple(args, "OOn:cut_point", &format_name, &data, &offset)) throw_fetched();
  const Format format = format_argument(format_name, {Format::marl, Format::marlc});
  BytesView view(data);
  const std::string_view text = view.text();
  if (offset < 0 || static_cast<std::size_t>(offset) > text.size())
    raise_error(PyExc_ValueError, "offset out of range");
  std::size_t cut;
  {
    GilReleased unlocked;
    cut = marlet_core::stream::next_cut(format, text, static_cast<std::size_t>(offset));
    if (cut == text.size() && !marlet_core::stream::is_cut(format, text, cut)) cut = marlet_core::stream::npos;
  }
  return PyLong_FromSsize_t(cut == marlet_core::stream::npos ? -1 : static_cast<Py_ssize_t>(cut));
}

// ---- records from string columns ----------------------------------------

// A schema, array or stream moved out of its producer's hands, released
// when it goes.
template <class C>
struct Owned {
  C c{};
  Owned() = default;
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() {
    if (c.release != nullptr) c.release(&c);
  }
};

// The string layouts a column may have: 32- or 64-bit offsets into one
// data buffer, or 16-byte views (inline up to 12 bytes, else a buffer
// index and an offset).
enum class StringLayout { offsets32, offsets64, views };

std::optional<StringLayout> string_layout(const char* format) noexcept {
  const std::string_view f = format == nullptr ? std::string_view() : std::string_view(format);
  if (f == "u") return StringLayout::offsets32;
  if (f == "U") return StringLayout::offsets64;
  if (f == "vu") return StringLayout::views;
  return std::nullopt;
}

// One string column of a batch, checked before any of it is read: row i
// of the batch is its element `start + i`.
class StringColumn {
 public:
  std::optional<std::string_view> value(std::size_t i) const noexcept {
    const std::size_t at = start_ + i;
    if (validity_ != nullptr && (validity_[at >> 3] >> (at & 7) & 1) == 0) return std::nullopt;
    switch (layout_) {
      case StringLayout::offsets32: return between(static_cast<const std::int32_t*>(offsets_), at);
      case StringLayout::offsets64: return between(static_cast<const std::int64_t*>(offsets_), at);
      case StringLayout::views: break;
    }
    const unsigned char* view = views_ + 16 * at;
    const auto size = static_cast<std::size_t>(load<std::int32_t>(view));
    if (size <= 12) return std::string_view(reinterpret_cast<const char*>(view + 4), size);
    const auto* data = static_cast<const char*>(buffers_[2 + static_cast<std::size_t>(load<std::int32_t>(view + 8))]);
    return std::string_view(data + load<std::int32_t>(view + 12), size);
  }

  // Checks `a` for `rows` rows from element `base`: lengths, buffers,
  // offsets in order and within the data, UTF-8 values.  Returns why not
  // (`row` then names the batch row at fault, if one is), or null.
  const char* check(StringLayout layout, const ArrowArray* a, std::int64_t base, std::int64_t rows, std::size_t& row) {
    layout_ = layout;
    row = static_cast<std::size_t>(-1);
    if (a == nullptr || a->buffers == nullptr) return "the array is missing";
    if (a->n_children != 0 || a->dictionary != nullptr) return "a string array has no children";
    if (a->length < 0 || a->offset < 0 || a->offset > INT64_MAX - a->length) return "a length or offset is out of range";
    if (a->length < base + rows) return "the column is shorter than the batch";
    const std::int64_t buffers = a->n_buffers;
    if (layout == StringLayout::views ? buffers < 3 : buffers != 3) return "the number of buffers does not fit the type";
    start_ = static_cast<std::size_t>(a->offset + base);
    buffers_ = a->buffers;
    validity_ = a->null_count == 0 ? nullptr : static_cast<const unsigned char*>(a->buffers[0]);
    if (validity_ == nullptr && a->null_count > 0) return "the null count is not 0, but there is no validity bitmap";
    const auto n = static_cast<std::size_t>(rows);
    if (n == 0) return nullptr;
    if (layout == StringLayout::views) return check_views(static_cast<std::size_t>(buffers - 3), n, row);
    offsets_ = a->buffers[1];
    if (offsets_ == nullptr) return "the offsets buffer is missing";
    return layout == StringLayout::offsets32 ? check_offsets<std::int32_t>(n, row) : check_offsets<std::int64_t>(n, row);
  }

 private:
  template <class T>
  static T load(const unsigned char* p) noexcept {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  template <class Offset>
  std::string_view between(const Offset* offsets, std::size_t at) const noexcept {
    return std::string_view(static_cast<const char*>(buffers_[2]) + offsets[at],
                            static_cast<std::size_t>(offsets[at + 1] - offsets[at]));
  }
  bool valid(std::size_t i) const noexcept {
    const std::size_t at = start_ + i;
    return validity_ == nullptr || (validity_[at >> 3] >> (at & 7) & 1) != 0;
  }

  // The values of the rows lie between the first and the last offset; the
  // producer vouches for that much data.  Checked as one text, and each
  // value then starts and ends on a character's first byte, so that every
  // value is UTF-8 (bytes under null rows are looked at only if that text
  // is not).
  template <class Offset>
  const char* check_offsets(std::size_t n, std::size_t& row) {
    const auto* o = static_cast<const Offset*>(offsets_) + start_;
    if (o[0] < 0) return "an offset is negative";
    for (std::size_t i = 0; i < n; ++i)
      if (o[i + 1] < o[i]) {
        row = i;
        return "the offsets decrease";
      }
    const auto* data = static_cast<const char*>(buffers_[2]);
    const auto first = static_cast<std::size_t>(o[0]), last = static_cast<std::size_t>(o[n]);
    if (last == first) return nullptr;
    if (data == nullptr) return "the data buffer is missing";
    const bool whole = marlet_core::is_valid_utf8(data + first, last - first);
    auto lead = [&](Offset at) {
      return static_cast<std::size_t>(at) == last || (static_cast<unsigned char>(data[at]) & 0xc0) != 0x80;
    };
    for (std::size_t i = 0; i < n; ++i) {
      if (!valid(i)) continue;
      const bool ok = whole ? lead(o[i]) && lead(o[i + 1])
                            : marlet_core::is_valid_utf8(data + o[i], static_cast<std::size_t>(o[i + 1] - o[i]));
      if (!ok) {
        row = i;
        return "the value is not UTF-8";
      }
    }
    return nullptr;
  }

  const char* check_views(std::size_t variadic, std::size_t n, std::size_t& row) {
    views_ = static_cast<const unsigned char*>(buffers_[1]);
    const auto* sizes = static_cast<const std::int64_t*>(buffers_[2 + variadic]);
    if (views_ == nullptr || (variadic != 0 && sizes == nullptr)) return "a buffer is missing";
    for (std::size_t i = 0; i < n; ++i) {
      if (!valid(i)) continue;
      row = i;
      const unsigned char* view = views_ + 16 * (start_ + i);
      const std::int32_t size = load<std::int32_t>(view);
      if (size < 0) return "a view's length is negative";
      const char* text = reinterpret_cast<const char*>(view + 4);
      if (size > 12) {
        const std::int32_t index = load<std::int32_t>(view + 8), offset = load<std::int32_t>(view + 12);
        if (index < 0 || static_cast<std::size_t>(index) >= variadic || offset < 0 ||
            std::int64_t{offset} + size > sizes[index] || buffers_[2 + index] == nullptr)
          return "a view points outside its data buffer";
        text = static_cast<const char*>(buffers_[2 + index]) + offset;
      }
      if (!marlet_core::is_valid_utf8(text, static_cast<std::size_t>(size))) return "the value is not UTF-8";
    }
    row = static_cast<std::size_t>(-1);
    return nullptr;
  }

  StringLayout layout_ = StringLayout::offsets32;
  std::size_t start_ = 0;
  const void* const* buffers_ = nullptr;
  const unsigned char* validity_ = nullptr;
  const void* offsets_ = nullptr;
  const unsigned char* views_ = nullptr;
};

// The producer's own account of a failed stream call.
[[noreturn]] void raise_stream_failure(ArrowArrayStream& stream, int code) {
  const char* message = stream.get_last_error != nullptr ? stream.get_last_error(&stream) : nullptr;
  raise_error(PyExc_ValueError, "the Arrow stream failed: %s", message != nullptr ? message : std::strerror(code));
}

// The columns of a stream's schema: a struct of string fields, each name
// once.  Sets `names` (UTF-8) and `keys` (str) and returns the layouts.
std::vector<StringLayout> string_columns(const ArrowSchema& schema, std::vector<std::string>& names, PyRef& keys) {
  if (schema.format == nullptr || std::string_view(schema.format) != "+s" || schema.n_children < 0 ||
      (schema.n_children > 0 && schema.children == nullptr))
    raise_error(PyExc_TypeError, "the Arrow stream does not carry record batches (a struct schema)");
  const auto width = static_cast<std::size_t>(schema.n_children);
  keys = or_fetched(PyList_New(0));
  PyRef seen = or_fetched(PySet_New(nullptr));
  std::vector<StringLayout> layouts;
  for (std::size_t i = 0; i < width; ++i) {
    const ArrowSchema* child = schema.children[i];
    if (child == nullptr || child->name == nullptr)
      raise_error(PyExc_ValueError, "column %zu of the Arrow schema has no name", i);
    PyRef key = or_fetched(PyUnicode_DecodeUTF8(child->name, static_cast<Py_ssize_t>(std::strlen(child->name)), "strict"));
    const auto layout = string_layout(child->format);
    if (!layout || child->n_children != 0 || child->dictionary != nullptr)
      raise_error(PyExc_TypeError,
                  "column %R has Arrow format '%s'; only string, large_string and string_view columns can be written",
                  key.get(), child->format == nullptr ? "(none)" : child->format);
    if (PySet_Contains(seen.get(), key.get()) != 0)
      raise_error(PyExc_ValueError, "the column %R occurs twice; a record holds each key once", key.get());
    if (PySet_Add(seen.get(), key.get()) < 0 || PyList_Append(keys.get(), key.get()) < 0) throw_fetched();
    names.emplace_back(child->name);
    layouts.push_back(*layout);
  }
  return layouts;
}

// dump_arrow(stream, format, lossy, write, loss_error) -> bytes | int: the
// rows of an "arrow_array_stream" capsule of string columns as records of
// a text form, through DocumentWriter as dump() writes them: the fields in
// column order, a null leaving its field out.  Each batch is checked whole
// before any of its rows is written, and rendered without the GIL.
PyRef dump_arrow(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 5) raise_error(PyExc_TypeError, "dump_arrow() takes 5 arguments");
  auto* given = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(args[0], kStreamCapsule));
  if (given == nullptr) throw_fetched();
  if (given->release == nullptr) raise_error(PyExc_ValueError, "this Arrow stream was already read");
  const Format form = format_argument(args[1], {Format::marl, Format::marlc, Format::json});
  const int lossy = PyObject_IsTrue(args[2]);
  if (lossy < 0) throw_fetched();
  Owned<ArrowArrayStream> stream;
  stream.c = *given;  // moved out: the capsule's stream is now released
  given->release = nullptr;

  Owned<ArrowSchema> schema;
  if (const int code = stream.c.get_schema(&stream.c, &schema.c)) raise_stream_failure(stream.c, code);
  std::vector<std::string> names;
  PyRef keys;
  const std::vector<StringLayout> layouts = string_columns(schema.c, names, keys);
  const std::size_t width = layouts.size();

  DocumentWriter document(form, lossy != 0, args[3] == Py_None ? nullptr : args[3], args[4]);
  std::vector<StringColumn> columns(width);
  std::vector<marlet_core::text::Field> fields;
  std::vector<std::size_t> present;  // the column of each field
  for (;;) {
    Owned<ArrowArray> batch;
    if (const int code = stream.c.get_next(&stream.c, &batch.c)) raise_stream_failure(stream.c, code);
    if (batch.c.release == nullptr) break;
    const ArrowArray& b = batch.c;
    if (b.length < 0 || b.offset < 0 || b.offset > INT64_MAX - b.length || b.n_children != static_cast<std::int64_t>(width) ||
        (width != 0 && b.children == nullptr) || b.n_buffers < 1 || b.buffers == nullptr)
      raise_error(PyExc_ValueError, "an Arrow batch does not match its schema's %zu columns", width);
    if (b.null_count != 0 && b.buffers[0] != nullptr)
      raise_error(PyExc_ValueError, "an Arrow batch has null rows; a record batch has none");
    GilReleased unlocked;
    struct Relock {
      DocumentWriter& document;
      ~Relock() { document.unlock(nullptr); }
    } relock{document};
    document.unlock(&unlocked);
    for (std::size_t c = 0; c < width; ++c) {
      std::size_t row;
      if (const char* fault = columns[c].check(layouts[c], b.children[c], b.offset, b.length, row))
        unlocked.with_gil([&] {
          PyObject* key = PyList_GET_ITEM(keys.get(), static_cast<Py_ssize_t>(c));  // borrowed from keys
          if (row == static_cast<std::size_t>(-1)) raise_error(PyExc_ValueError, "column %R: %s", key, fault);
          raise_error(PyExc_ValueError, "record %zu, column %R: %s", document.records() + row, key, fault);
        });
    }
    for (std::size_t i = 0; i < static_cast<std::size_t>(b.length); ++i) {
      fields.clear();
      present.clear();
      for (std::size_t c = 0; c < width; ++c)
        if (const auto value = columns[c].value(i)) {
          fields.push_back(marlet_core::text::Field{names[c], *value});
          present.push_back(c);
        }
      document.put(fields, [&](std::size_t field) {
        return PyList_GET_ITEM(keys.get(), static_cast<Py_ssize_t>(present[field]));  // borrowed from keys
      });
    }
  }
  return document.finish();
}

const PyMethodDef g_methods[] = {
    method<arrow_builder>("arrow_builder", METH_VARARGS,
                          "arrow_builder(format, columns, batch_rows): a column builder for marl, marlc or json text."),
    method<arrow_feed>("arrow_feed", METH_VARARGS,
                       "arrow_feed(builder, data): read the next chunk of the text from a bytes-like object."),
    method<arrow_read>("arrow_read", METH_VARARGS,
                       "arrow_read(builder, file, all): read the next round, or all, of the text on the workers."),
    method<arrow_take>("arrow_take", METH_VARARGS,
                       "arrow_take(builder, flush): an arrow_array_stream capsule over the finished batches."),
    method<cut_point>("cut_point", METH_VARARGS,
                      "cut_point(format, data, offset): the first cut point at or after offset, or -1."),
    method<dump_arrow>("dump_arrow", METH_FASTCALL,
                       "dump_arrow(stream, format, lossy, write, loss_error): write the rows of string columns."),
};

}  // namespace

std::span<const PyMethodDef> arrow_methods() noexcept { return g_methods; }

}  // namespace marlet_ext

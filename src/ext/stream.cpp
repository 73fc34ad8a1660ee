// The stream functions of marlet._ext: an incremental reader
// that hands out dicts chunk by chunk, and file conversion in native code.
//
// convert() runs with the GIL released.  Between rounds (a few megabytes of
// input) it takes the GIL back briefly to answer signals, so Ctrl-C stops
// it within a fraction of a second, and to report progress.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <climits>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "converter.hpp"
#include "ext.hpp"
#include "sources.hpp"
#include "stream.hpp"

namespace marlet_ext {
namespace {
using marlet_core::Format;

// ---------------------------------------------------------------------------
// Errors

// Runs a body that may throw the stream's own errors and turns them into
// Python exceptions: ill-formed input as raise_read_error says, a record
// that a text form cannot carry ValueError("loss", index, key, reason,
// form), another conversion failure (output the target form cannot take)
// ValueError("refused", message), a failed system call OSError.
template <class Body>
PyObject* stream_guarded(Body&& body) {
  try {
    return body();
  } catch (const stream::ReadError& e) {
    raise_read_error(e);
  } catch (const stream::LossError& e) {
    PyRef key = e.key ? or_fetched(PyUnicode_DecodeUTF8(e.key->data(), static_cast<Py_ssize_t>(e.key->size()), "strict"))
                      : PyRef::borrow(Py_None);
    PyRef args = or_fetched(Py_BuildValue("(sKOss)", "loss", static_cast<unsigned long long>(e.index), key.get(),
                                       e.reason.c_str(), e.form.c_str()));
    PyErr_SetObject(PyExc_ValueError, args.get());
  } catch (const stream::ConvertError& e) {
    PyErr_SetObject(PyExc_ValueError, or_fetched(Py_BuildValue("(ss)", "refused", e.what())).get());
  } catch (const OsFailure& e) {
    raise_os_failure(e);
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// The incremental reader as a Python object

using Sink = DictSink<kPolicy>;

// The reader and the sink it fills.
struct ReaderState {
  explicit ReaderState(Format format) : reader(format, sink) {}
  Sink sink;
  stream::Reader<Sink> reader;
};

struct ReaderObject {
  PyObject_HEAD
  ReaderState* state;  // owned; null until initialised
  bool failed;
};

int reader_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  auto* r = reinterpret_cast<ReaderObject*>(self);
  return call_guarded<kPolicy>([&]() -> PyObject* {
           static const char* names[] = {"format", nullptr};
           PyObject* name;
           if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Reader", const_cast<char**>(names), &name)) return nullptr;
           const Format format = format_argument(name, {Format::marl, Format::marlc, Format::json});
           delete std::exchange(r->state, nullptr);
           r->state = std::make_unique<ReaderState>(format).release();
           r->failed = false;
           return Py_None;
         }) == nullptr
             ? -1
             : 0;
}

void reader_dealloc(PyObject* self) {
  delete reinterpret_cast<ReaderObject*>(self)->state;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

template <class Step>
PyObject* reader_step(PyObject* self, Step&& step) {
  auto* r = reinterpret_cast<ReaderObject*>(self);
  return stream_guarded([&]() -> PyObject* {
    if (r->state == nullptr || r->failed) raise_error(PyExc_ValueError, "the reader failed or was not initialised");
    try {
      step(r->state->reader);
    } catch (...) {
      r->failed = true;  // the reader's state is undefined after a failure
      throw;
    }
    return r->state->sink.take().release();
  });
}

PyObject* reader_feed(PyObject* self, PyObject* data) {
  return reader_step(self, [&](stream::Reader<Sink>& reader) {
    BytesView view(data);
    reader.feed(view.text());
  });
}

PyObject* reader_finish(PyObject* self, PyObject*) {
  return reader_step(self, [](stream::Reader<Sink>& reader) { reader.finish(); });
}

PyMethodDef g_reader_methods[] = {
    method<reader_feed>("feed", METH_O, "Read a chunk of bytes; return the records it completed."),
    method<reader_finish>("finish", METH_NOARGS, "End the text; return the last records."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_reader_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(&reader_init)},
    {Py_tp_new, reinterpret_cast<void*>(&PyType_GenericNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&reader_dealloc)},
    {Py_tp_methods, g_reader_methods},
    {Py_tp_doc, const_cast<char*>("Reader(format): an incremental reader of 'marl', 'marlc' or 'json' bytes.")},
    {0, nullptr},
};

PyType_Spec g_reader_spec = {
    "marlet._ext.Reader",
    sizeof(ReaderObject),
    0,
    Py_TPFLAGS_DEFAULT,
    g_reader_slots,
};

// ---------------------------------------------------------------------------
// Conversion

// A file descriptor; it can patch a regular file that is not in append
// mode (there every write goes to the end, wherever it was asked to go).
class FdDestination : public stream::Destination {
 public:
  FdDestination(int fd, GilReleased& gil, bool appends) : fd_(fd), gil_(gil) {
    struct stat st;
    if (!appends && ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) {
      const off_t at = ::lseek(fd_, 0, SEEK_CUR);
      if (at >= 0) start_ = at;
    }
  }
  void write(std::string_view bytes) override {
    while (!bytes.empty()) {
      const ssize_t put = ::write(fd_, bytes.data(), bytes.size() > SSIZE_MAX ? SSIZE_MAX : bytes.size());
      if (put < 0) {
        if (errno != EINTR) throw OsFailure{errno, ""};
        gil_.check_signals();
        continue;
      }
      bytes.remove_prefix(static_cast<std::size_t>(put));
    }
  }
  bool can_patch() const override { return start_ >= 0; }
  void patch(std::uint64_t offset, std::string_view bytes) override {
    if (::pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(start_ + static_cast<off_t>(offset))) !=
        static_cast<ssize_t>(bytes.size()))
      throw OsFailure{errno, ""};
  }

 private:
  int fd_;
  GilReleased& gil_;
  off_t start_ = -1;  // where writing began, for a regular file
};

// A file object's write(bytes), called with the GIL held; it can patch
// when the file object can seek and is not in append mode.
class PyDestination : public stream::Destination {
 public:
  PyDestination(PyObject* file, GilReleased& gil, bool appends) : file_(file), gil_(gil) {
    if (!appends) start_ = start_of(file_, gil_);
  }
  void write(std::string_view bytes) override {
    gil_.with_gil([&] { call_write(bytes); });
  }
  bool can_patch() const override { return start_ >= 0; }
  void patch(std::uint64_t offset, std::string_view bytes) override {
    gil_.with_gil([&] {
      PyRef end = or_fetched(PyObject_CallMethod(file_, "tell", nullptr));
      or_fetched(PyObject_CallMethod(file_, "seek", "L", start_ + static_cast<long long>(offset)));
      call_write(bytes);
      or_fetched(PyObject_CallMethod(file_, "seek", "O", end.get()));
    });
  }

 private:
  void call_write(std::string_view bytes) {
    PyRef data = or_fetched(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
    or_fetched(PyObject_CallMethod(file_, "write", "O", data.get()));
  }

  PyObject* file_;
  GilReleased& gil_;
  long long start_ = -1;
};

// A file descriptor that convert() opened, closed on every way out.
class Fd {
 public:
  explicit Fd(int fd) noexcept : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

// convert(source, destination, from_format, to_format, jobs, chunk_size,
//         lossy, final_newline, progress, appends) -> records written.
// source: a path (str or bytes), an int file descriptor, or a binary file
// object; destination: an int file descriptor or a binary file object.
// progress is None or a callable taking the input bytes read so far;
// appends: the destination is in append mode, so it cannot be patched.
PyObject* convert(PyObject*, PyObject* args) {
  return stream_guarded([&]() -> PyObject* {
    PyObject *source, *destination, *from_name, *to_name, *progress;
    unsigned int jobs;
    Py_ssize_t chunk_size;
    int lossy, final_newline, appends;
    if (!PyArg_ParseTuple(args, "OOOOInppOp:convert", &source, &destination, &from_name, &to_name, &jobs, &chunk_size,
                          &lossy, &final_newline, &progress, &appends))
      return nullptr;
    stream::ConvertOptions options;
    options.from = format_argument(from_name, {Format::marl, Format::marlc, Format::json});
    options.to = format_argument(to_name, {Format::json, Format::marlc, Format::marl, Format::binary});
    options.jobs = jobs == 0 ? 1 : jobs;
    options.chunk_size = chunk_size < 4096 ? 4096 : static_cast<std::size_t>(chunk_size);
    options.lossy = lossy != 0;
    options.final_newline = final_newline != 0;

    // A source path is opened before the GIL is released.
    std::string source_path;
    int source_number = fd_argument(source);
    std::optional<Fd> opened;
    if (PyUnicode_Check(source) || PyBytes_Check(source)) {
      PyObject* raw = nullptr;
      if (!PyUnicode_FSConverter(source, &raw)) return nullptr;
      source_path = PyBytes_AS_STRING(PyRef::steal(raw).get());
      source_number = opened.emplace(::open(source_path.c_str(), O_RDONLY | O_CLOEXEC)).get();
      if (source_number < 0) return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, source);
    }
    const int destination_number = fd_argument(destination);
    const bool report = progress != Py_None;
    PyRef progress_ref = PyRef::borrow(progress);

    std::uint64_t written;
    {
      GilReleased gil;
      std::optional<FdSource> fd_source;
      std::optional<PySource> py_source;
      stream::Source* in;
      if (source_number >= 0) in = &fd_source.emplace(source_number, source_path, gil);
      else in = &py_source.emplace(source, gil);

      std::optional<FdDestination> fd_destination;
      std::optional<PyDestination> py_destination;
      stream::Destination* out;
      if (destination_number >= 0) out = &fd_destination.emplace(destination_number, gil, appends != 0);
      else out = &py_destination.emplace(destination, gil, appends != 0);

      const stream::Progress on_round = [&](std::uint64_t done) {
        gil.with_gil([&] {
          if (PyErr_CheckSignals() < 0) throw_fetched();
          if (report) or_fetched(PyObject_CallFunction(progress_ref.get(), "K", static_cast<unsigned long long>(done)));
        });
      };
      written = stream::convert(*in, *out, options, on_round);
    }
    return PyLong_FromUnsignedLongLong(written);
  });
}

// One type per call is wasteful; the package asks once and keeps it.
PyObject* reader_type(PyObject*, PyObject*) { return PyType_FromSpec(&g_reader_spec); }

const PyMethodDef g_methods[] = {
    method<reader_type>("reader_type", METH_NOARGS, "reader_type() -> the incremental reader's type"),
    method<convert>("convert", METH_VARARGS,
                    "convert(source, destination, from, to, jobs, chunk_size, lossy, newline, progress, appends)"),
};

}  // namespace

void raise_read_error(const stream::ReadError& error) {
  const std::string message = std::string(error.what()) + " at byte offset " + std::to_string(error.offset());
  PyRef args = or_fetched(Py_BuildValue("(sKy#)", message.c_str(), static_cast<unsigned long long>(error.offset()),
                                     error.bytes().data(), static_cast<Py_ssize_t>(error.bytes().size())));
  PyErr_SetObject(PyExc_ValueError, args.get());
  throw_fetched();
}

std::span<const PyMethodDef> stream_methods() noexcept { return g_methods; }

}  // namespace marlet_ext

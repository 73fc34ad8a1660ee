// Where marlet._ext's native readers take their input from: a file
// descriptor, or a file object's read(), called with the GIL taken back
// for the call while the reader runs with it released.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "converter.hpp"
#include "ext.hpp"

namespace marlet_ext {

namespace stream = marlet_core::stream;

// A failed system call, raised as OSError naming the file.
struct OsFailure {
  int error;
  std::string path;
};

[[noreturn]] inline void raise_os_failure(const OsFailure& failure) {
  errno = failure.error;
  PyErr_SetFromErrnoWithFilename(PyExc_OSError, failure.path.empty() ? nullptr : failure.path.c_str());
  throw_fetched();
}

// The file descriptor an int names; -1 for any other object.
inline int fd_argument(PyObject* obj) {
  if (!PyLong_Check(obj)) return -1;
  const long number = PyLong_AsLong(obj);
  if (number == -1 && PyErr_Occurred()) throw_fetched();
  if (number < 0 || number > INT_MAX) raise_error(PyExc_ValueError, "a file descriptor must be a non-negative int");
  return static_cast<int>(number);
}

// Where a file object stands, or -1 when it cannot seek back there: no
// seekable() or tell(), or seekable() is false.
inline long long start_of(PyObject* file, GilReleased& gil) {
  return gil.with_gil([&] {
    long long start = -1;
    PyRef seekable = PyRef::steal(PyObject_CallMethod(file, "seekable", nullptr));
    if (seekable && PyObject_IsTrue(seekable.get()) == 1) {
      PyRef at = PyRef::steal(PyObject_CallMethod(file, "tell", nullptr));
      if (at) start = PyLong_AsLongLong(at.get());
    }
    PyErr_Clear();
    return start < 0 ? -1 : start;
  });
}

class FdSource : public stream::Source {
 public:
  FdSource(int fd, std::string path, GilReleased& gil)
      : fd_(fd), path_(std::move(path)), gil_(gil), start_(::lseek(fd, 0, SEEK_CUR)) {}
  std::size_t read(char* dst, std::size_t n) override {
    for (;;) {
      // A pipe may block for long: a signal that came during the last
      // read (which then returned data, not EINTR) is answered first.
      gil_.check_signals();
      const ssize_t got = ::read(fd_, dst, n > SSIZE_MAX ? SSIZE_MAX : n);
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno != EINTR) throw OsFailure{errno, path_};
      gil_.check_signals();
    }
  }
  bool rewind() override { return start_ >= 0 && ::lseek(fd_, start_, SEEK_SET) == start_; }

 private:
  int fd_;
  std::string path_;
  GilReleased& gil_;
  off_t start_;  // where reading began; -1 for a pipe
};

// Bytes a file object handed out beyond what was asked for, kept for the
// next read: read(n) of a text file counts characters, not bytes.
struct Leftover {
  std::string bytes;
  std::size_t at = 0;  // what is handed over already
};

// A file object's read(n), called with the GIL held; it can start again
// when the file object can seek.  read() must return bytes; given a
// Leftover, which outlives the source when reading spans several calls,
// it may also return str (written as UTF-8, lone surrogates as they come)
// or another bytes-like object.
class PySource : public stream::Source {
 public:
  PySource(PyObject* file, GilReleased& gil, Leftover* leftover = nullptr)
      : file_(file), gil_(gil), leftover_(leftover) {
    start_ = start_of(file_, gil_);
  }
  std::size_t read(char* dst, std::size_t n) override {
    if (leftover_ != nullptr && leftover_->at < leftover_->bytes.size()) return take_leftover(dst, n);
    return gil_.with_gil([&] { return call_read(dst, n); });
  }
  bool rewind() override {
    if (start_ < 0) return false;
    gil_.with_gil([&] { or_fetched(PyObject_CallMethod(file_, "seek", "L", start_)); });
    return true;
  }

 private:
  std::size_t call_read(char* dst, std::size_t n) {
    PyRef data = or_fetched(PyObject_CallMethod(file_, "read", "n", static_cast<Py_ssize_t>(n)));
    if (leftover_ != nullptr && !PyBytes_Check(data.get())) {
      if (PyUnicode_Check(data.get())) data = or_fetched(PyUnicode_AsEncodedString(data.get(), "utf-8", "surrogatepass"));
      else if (!PyObject_CheckBuffer(data.get()))
        raise_error(PyExc_TypeError, "read() returned %.100s, not str or bytes", Py_TYPE(data.get())->tp_name);
      BytesView view(data.get());
      leftover_->bytes.assign(view.text());
      leftover_->at = 0;
      return take_leftover(dst, n);
    }
    if (!PyBytes_Check(data.get()))
      raise_error(PyExc_TypeError, "the source's read() returned %.100s, not bytes", Py_TYPE(data.get())->tp_name);
    const auto got = static_cast<std::size_t>(PyBytes_GET_SIZE(data.get()));
    if (got > n) raise_error(PyExc_ValueError, "the source's read() returned more bytes than asked for");
    std::memcpy(dst, PyBytes_AS_STRING(data.get()), got);
    return got;
  }

  std::size_t take_leftover(char* dst, std::size_t n) {
    const std::size_t got = std::min(n, leftover_->bytes.size() - leftover_->at);
    std::memcpy(dst, leftover_->bytes.data() + leftover_->at, got);
    leftover_->at += got;
    return got;
  }

  PyObject* file_;
  GilReleased& gil_;
  Leftover* leftover_;
  long long start_ = -1;
};

}  // namespace marlet_ext

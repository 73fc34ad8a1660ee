// One document written by the core's writers into Python bytes: the
// writer behind _ext.dump (records from Python mappings) and
// _ext.dump_arrow (rows of Arrow string columns), so that both render,
// refuse and flush the same way.
#pragma once

#include <cstring>
#include <optional>
#include <span>
#include <string_view>

#include "binary_format.hpp"
#include "ext.hpp"
#include "writers.hpp"

namespace marlet_ext {

// The writers' output: a growing bytes object.  Growth goes through _PyBytes_Resize, so a
// failed allocation raises MemoryError instead of aborting, and the large
// blocks are moved by the allocator (mremap) rather than copied.  While a
// caller renders with the GIL released (`unlock`), growth takes it again.
class BytesOut {
 public:
  explicit BytesOut(std::size_t capacity = 1 << 12) { reset(capacity); }

  void unlock(GilReleased* gil) noexcept { gil_ = gil; }
  std::size_t size() const noexcept { return size_; }

  char* prepare(std::size_t n) {
    if (capacity_ - size_ < n) grow(n);
    return PyBytes_AS_STRING(bytes_.get()) + size_;
  }
  void commit(std::size_t n) noexcept { size_ += n; }
  void append(const char* p, std::size_t n) {
    if (n == 0) return;
    std::memcpy(prepare(n), p, n);
    size_ += n;
  }
  void append(std::string_view s) { append(s.data(), s.size()); }
  void push_back(char c) {
    *prepare(1) = c;
    ++size_;
  }
  char* data() noexcept { return PyBytes_AS_STRING(bytes_.get()); }
  // For writers that keep their own write pointer d (see Buffer).
  void end_at(const char* d) noexcept { size_ = static_cast<std::size_t>(d - data()); }
  std::size_t room(const char* d) noexcept { return capacity_ - static_cast<std::size_t>(d - data()); }
  char* room_after(char* d, std::size_t n) {
    end_at(d);
    return prepare(n);
  }

  // The bytes written so far, as a bytes object of exactly that size; the
  // output starts again empty.  Needs the GIL.
  PyRef take(std::size_t next_capacity = 1 << 12) {
    resize(size_);
    PyRef out = std::move(bytes_);
    reset(next_capacity);
    return out;
  }

 private:
  void reset(std::size_t capacity) {
    bytes_ = or_fetched(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity)));
    size_ = 0;
    capacity_ = capacity;
  }
  void grow(std::size_t extra) {
    if (extra > static_cast<std::size_t>(PY_SSIZE_T_MAX) - size_) throw std::bad_alloc();
    std::size_t wanted = capacity_ * 2 > size_ + extra ? capacity_ * 2 : size_ + extra;
    if (wanted > static_cast<std::size_t>(PY_SSIZE_T_MAX)) wanted = size_ + extra;
    if (gil_ != nullptr)
      gil_->with_gil([&] { resize(wanted); });
    else
      resize(wanted);
    capacity_ = wanted;
  }
  void resize(std::size_t n) {
    PyObject* raw = bytes_.release();
    if (_PyBytes_Resize(&raw, static_cast<Py_ssize_t>(n)) < 0) throw_fetched();  // frees raw on failure
    bytes_ = PyRef::steal(raw);
  }

  PyRef bytes_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  GilReleased* gil_ = nullptr;
};

// A document in `form`, written record by record.  Without `write` (None)
// the whole output is kept for finish(); with it, write(chunk) receives it
// in pieces of about a megabyte as the records come.  The binary form
// starts with `count` (none: a placeholder 0 that finish() patches when it
// returns the bytes, else the caller).  A record a text form cannot carry
// raises loss_error(index, key or None, reason) unless `lossy`, the index
// counting the records of the whole document.
class DocumentWriter {
 public:
  DocumentWriter(marlet_core::Format form, bool lossy, PyObject* write, PyObject* loss_error,
                 std::optional<std::size_t> count = std::nullopt)
      : form_(form), lossy_(lossy), write_(write), loss_error_(loss_error), count_(count) {
    if (form_ == marlet_core::Format::binary)
      marlet_core::binary::append_u32(out_, count_.value_or(0));
    else if (form_ == marlet_core::Format::json)
      out_.push_back('[');
  }

  // Records are rendered with the GIL released from here on (null: held);
  // the steps that need Python take it again.
  void unlock(GilReleased* gil) noexcept {
    gil_ = gil;
    out_.unlock(gil);
  }

  std::size_t records() const noexcept { return index_; }

  // Writes the next record; key(i) is the Python key of field i, named
  // when the record is refused.
  template <class Key>
  void put(std::span<const marlet_core::text::Field> fields, Key&& key) {
    namespace writers = marlet_core::writers;
    using marlet_core::Format;
    const std::size_t index = index_;
    if (!lossy_ && (form_ == Format::marlc || form_ == Format::marl)) {
      if (auto loss = form_ == Format::marl ? writers::marl_loss(fields, index == 0) : writers::marlc_loss(fields, index == 0))
        python([&] {
          PyObject* shown = loss->field == writers::Loss::kRecord ? Py_None : key(loss->field);
          raise_object(or_fetched(
              PyObject_CallFunction(loss_error_, "nOs", static_cast<Py_ssize_t>(index), shown, loss->reason)));
        });
    }
    switch (form_) {
      case Format::marlc: writers::write_marlc_record(fields, out_); break;
      case Format::marl: writers::write_marl_record(fields, out_); break;
      case Format::json: writers::write_json_record(fields, out_, index != 0); break;
      case Format::binary:
        if (!writers::write_binary_record(fields, out_))
          python([&] {
            raise_error(PyExc_ValueError, "record %zu: a count or length does not fit the binary encoding's 32 bits",
                        index);
          });
        break;
    }
    ++index_;
    if (write_ != nullptr && out_.size() >= kFlushAt) python([&] { flush(); });
    if ((index & 1023) == 1023)
      python([] {
        if (PyErr_CheckSignals() < 0) throw_fetched();
      });
  }

  // Ends the document: the bytes without `write`, else the record count.
  // Needs the GIL.
  PyRef finish() {
    using marlet_core::Format;
    if (form_ == Format::json) out_.push_back(']');
    if (form_ == Format::binary && !marlet_core::binary::fits_u32(index_))
      raise_error(PyExc_ValueError, "the record count does not fit the binary encoding's 32 bits");
    if (write_ == nullptr) {
      if (form_ == Format::binary && !count_) marlet_core::binary::put_u32(out_.data(), index_);
      return out_.take(0);
    }
    if (out_.size() != 0) flush();
    return or_fetched(PyLong_FromSize_t(index_));
  }

 private:
  // Flushes the output to `write` once it holds this much.
  static constexpr std::size_t kFlushAt = 1 << 20;

  void flush() {
    PyRef chunk = out_.take(kFlushAt + (kFlushAt >> 2));
    or_fetched(PyObject_CallOneArg(write_, chunk.get()));
  }
  template <class F>
  void python(F&& f) {
    if (gil_ != nullptr)
      gil_->with_gil(f);
    else
      f();
  }

  marlet_core::Format form_;
  bool lossy_;
  PyObject* write_;
  PyObject* loss_error_;
  std::optional<std::size_t> count_;
  BytesOut out_;
  GilReleased* gil_ = nullptr;
  std::size_t index_ = 0;
};

}  // namespace marlet_ext

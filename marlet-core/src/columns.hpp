// Records as columns: a reader Sink that writes each key's values straight
// into a nullable string column (32-bit offsets, values, validity bits),
// ready to be handed out as Arrow arrays without a copy.  Columns stand in
// the order their keys are first seen, or are a fixed list (other keys are
// skipped); one row per record, a repeated key keeping its last value.
// Batches are cut so that a column's text stays within 32-bit offsets.
// Exhausted memory throws std::bad_alloc (Block), for the caller to report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "format.hpp"
#include "memory.hpp"
#include "record.hpp"
#include "stream.hpp"
#include "text.hpp"

namespace marlet_core::columns {

using Block = BasicBuffer<ThrowWhenExhausted>;

// One finished column of a batch: `rows` values, offsets[rows + 1] into
// `values`; `validity` is empty when no value is null.  A column with no
// offsets at all stands for one whose values are all null.
struct ColumnData {
  Block offsets;
  Block values;
  Block validity;
  std::int64_t nulls = 0;
  bool present() const noexcept { return !offsets.empty(); }
};

// A finished batch: `rows` rows and one ColumnData per column of `names`
// (the first columns.size() names at the time it was finished).
struct Batch {
  std::int64_t rows = 0;
  std::vector<ColumnData> columns;
};

class ColumnBuilder {
 public:
  // A batch is cut at this much text in a column, well below what 32-bit
  // offsets address (kMaxColumnText).
  static constexpr std::size_t kMaxBatchText = std::size_t{1} << 28;
  static constexpr std::size_t kMaxColumnText = std::numeric_limits<std::int32_t>::max();

  // The bytes of a column's offsets and values in a batch.
  struct Sizes {
    std::size_t offsets = 0;
    std::size_t values = 0;
  };

  // `expected` sizes the first batch of the columns, by position, so that
  // a builder over text like another's need not grow (and copy) its buffers.
  explicit ColumnBuilder(std::optional<std::vector<std::string>> fixed, std::size_t batch_rows,
                         std::vector<Sizes> expected = {})
      : fixed_(fixed.has_value()), batch_rows_(batch_rows == 0 ? 1 : batch_rows), expected_(std::move(expected)) {
    if (!fixed_) return;
    for (auto& name : *fixed) {
      // Hashed before the call: an argument moved from may be read after the move.
      const std::uint64_t h = hash(name);
      if (find(name, h) == kNotFound) add_column(std::move(name), h);
    }
  }

  // The column names so far, in order.
  const std::vector<std::string>& names() const noexcept { return names_; }

  void field(std::string_view key, std::string_view value) {
    open_ = true;
    const std::uint32_t c = lookup(key);
    if (c == kSkip) return;
    Building& col = building_[c];
    const std::size_t row = rows_;
    if (col.last_row == row) {
      // A repeated key: the previous value of this row is the column's
      // last one, so drop it and write the new one in its place.
      std::int32_t start;
      std::memcpy(&start, col.offsets.data() + 4 * row, 4);
      col.values.resize(static_cast<std::size_t>(start));
    } else {
      if (col.length < row) pad(col, row);
      if (col.has_validity) set_valid(col, row);
      col.offsets.extend(4);
      col.length = row + 1;
      col.last_row = row;
    }
    if (value.size() > kMaxColumnText - col.values.size()) throw std::length_error("a value too large for a string column");
    if (!value.empty()) marlet_core::copy_bytes(col.values.extend(value.size()), value.data(), value.size());
    const auto end = static_cast<std::int32_t>(col.values.size());
    std::memcpy(col.offsets.data() + 4 * (row + 1), &end, 4);
    if (col.values.size() > text_peak_) text_peak_ = col.values.size();
  }

  void close() {
    if (open_) end_record();
  }

  // Ends a record even when it holds no field (an empty JSON object).
  void end_record() {
    open_ = false;
    ++rows_;
    if (rows_ >= batch_rows_ || text_peak_ >= kMaxBatchText) finish_batch();
  }

  // Takes a finished batch of another builder over the same text's later
  // records, whose first batch.columns.size() names are `names`, as this
  // builder's next finished batch: its columns move to this builder's
  // order, a key not seen yet adding a column, and a column it lacks is
  // all null.  No value is copied.
  void adopt(Batch batch, const std::vector<std::string>& names) {
    std::vector<std::uint32_t> at(batch.columns.size());
    for (std::size_t c = 0; c < at.size(); ++c) at[c] = lookup(names[c]);
    std::vector<ColumnData> ordered(names_.size());
    for (std::size_t c = 0; c < at.size(); ++c)
      if (at[c] != kSkip) ordered[at[c]] = std::move(batch.columns[c]);
    batch.columns = std::move(ordered);
    done_.push_back(std::move(batch));
  }

  // Hands over the finished batches, and the one in progress when `flush`.
  std::vector<Batch> take(bool flush) {
    if (flush && rows_ != 0) finish_batch();
    return std::exchange(done_, {});
  }

 private:
  static constexpr std::uint32_t kSkip = std::numeric_limits<std::uint32_t>::max();
  static constexpr std::size_t kNoRow = std::numeric_limits<std::size_t>::max();
  // Keys cached as skipped (with a fixed column list) stop being added
  // beyond this many, so a stream of distinct keys cannot grow the table.
  static constexpr std::size_t kMaxSkipped = 4096;

  struct Building {
    Block offsets;  // int32 per row, plus the leading 0
    Block values;
    Block validity;  // bits, kept only once a null appears
    bool has_validity = false;
    std::size_t length = 0;  // rows written, values or nulls
    std::size_t nulls = 0;
    std::size_t last_row = kNoRow;
  };

  static constexpr std::uint32_t kNotFound = kSkip - 1;
  struct Known {
    std::string key;
    std::uint32_t column;  // or kSkip
  };
  struct Slot {
    std::uint64_t hash = 0;
    std::uint32_t known = 0;  // 1 + index into known_, 0 when free
  };

  // Keys hash with a seed drawn per builder, so that no input can be
  // made to collide on purpose.
  std::uint64_t hash(std::string_view key) const noexcept {
    const char* p = key.data();
    const std::size_t n = key.size();
    std::uint64_t h = seed_ ^ (n * 0x9e3779b97f4a7c15u);
    std::uint64_t w = 0;
    if (n >= 8) {
      for (std::size_t i = 0; i + 8 < n; i += 8) {
        std::memcpy(&w, p + i, 8);
        h = (h ^ w) * 0xff51afd7ed558ccdu;
        h ^= h >> 32;
      }
      std::memcpy(&w, p + n - 8, 8);  // the last 8 bytes, overlapping
    } else if (n >= 4) {
      std::uint32_t a, b;
      std::memcpy(&a, p, 4);
      std::memcpy(&b, p + n - 4, 4);
      w = a | std::uint64_t{b} << 32;
    } else if (n != 0) {
      const auto* u = reinterpret_cast<const unsigned char*>(p);
      w = u[0] | std::uint64_t{u[n / 2]} << 8 | std::uint64_t{u[n - 1]} << 16;
    }
    h = (h ^ w) * 0xc4ceb9fe1a85ec53u;
    h ^= h >> 29;
    return h;
  }

  // The column of a known key (kSkip for a skipped one), or kNotFound.
  std::uint32_t find(std::string_view key, std::uint64_t h) const noexcept {
    if (slots_.empty()) return kNotFound;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = static_cast<std::size_t>(h) & mask;; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (slot.known == 0) return kNotFound;
      if (slot.hash == h) {
        const Known& k = known_[slot.known - 1];
        if (k.key == key) return k.column;
      }
    }
  }

  void remember(std::string key, std::uint64_t h, std::uint32_t column) {
    if ((known_.size() + 1) * 2 > slots_.size()) {
      std::vector<Slot> bigger(slots_.empty() ? 64 : slots_.size() * 2);
      for (const Slot& slot : slots_)
        if (slot.known != 0) place(bigger, slot);
      slots_ = std::move(bigger);
    }
    known_.push_back(Known{std::move(key), column});
    place(slots_, Slot{h, static_cast<std::uint32_t>(known_.size())});
  }

  static void place(std::vector<Slot>& slots, Slot slot) {
    const std::size_t mask = slots.size() - 1;
    std::size_t i = static_cast<std::size_t>(slot.hash) & mask;
    while (slots[i].known != 0) i = (i + 1) & mask;
    slots[i] = slot;
  }

  void add_column(std::string name, std::uint64_t h) {
    const auto c = static_cast<std::uint32_t>(names_.size());
    remember(name, h, c);
    names_.push_back(std::move(name));
    building_.emplace_back();
    start(building_.back(), c < expected_.size() ? expected_[c] : Sizes{});
  }

  // Starts a column's next batch, its buffers sized after `like` (the
  // batch before), so they rarely grow (and copy) on the way.
  static void start(Building& col, Sizes like) {
    col = Building{};
    col.offsets.reserve(like.offsets);
    col.values.reserve(like.values + like.values / 8);
    col.offsets.extend(4);
    std::memset(col.offsets.data(), 0, 4);
  }

  // The column of `key`.
  std::uint32_t lookup(std::string_view key) {
    const std::uint64_t h = hash(key);
    std::uint32_t c = find(key, h);
    if (c != kNotFound) return c;
    if (!fixed_) {
      add_column(std::string(key), h);
      return static_cast<std::uint32_t>(names_.size() - 1);
    }
    if (skipped_ < kMaxSkipped) {
      remember(std::string(key), h, kSkip);
      ++skipped_;
    }
    return kSkip;
  }

  // Makes room for row's validity bit, zeroing the new bytes.
  static void validity_for(Building& col, std::size_t row) {
    const std::size_t old = col.validity.size();
    if (old > row / 8) return;
    col.validity.resize(row / 8 + 1);
    std::memset(col.validity.data() + old, 0, col.validity.size() - old);
  }

  static void set_valid(Building& col, std::size_t row) {
    validity_for(col, row);
    col.validity.data()[row / 8] = static_cast<char>(col.validity.data()[row / 8] | (1 << (row % 8)));
  }

  // Writes nulls for the rows before `row` that the column has not seen.
  static void pad(Building& col, std::size_t row) {
    if (col.length >= row) return;
    if (!col.has_validity) {
      // The first null: every row so far was valid.
      col.has_validity = true;
      validity_for(col, col.length);
      std::memset(col.validity.data(), 0xff, col.length / 8);
      for (std::size_t r = col.length / 8 * 8; r < col.length; ++r) set_valid(col, r);
    }
    const std::size_t n = row - col.length;
    const std::int32_t end = static_cast<std::int32_t>(col.values.size());
    char* at = col.offsets.extend(4 * n);
    for (std::size_t i = 0; i < n; ++i) std::memcpy(at + 4 * i, &end, 4);
    col.nulls += n;
    col.length = row;
    validity_for(col, row);  // row's own bit too
  }

  void finish_batch() {
    Batch batch;
    batch.rows = static_cast<std::int64_t>(rows_);
    batch.columns.reserve(building_.size());
    for (Building& col : building_) {
      pad(col, rows_);
      ColumnData data;
      data.nulls = static_cast<std::int64_t>(col.nulls);
      data.offsets = std::move(col.offsets);
      data.values = std::move(col.values);
      if (col.nulls != 0) data.validity = std::move(col.validity);
      data.values.ensure_data();
      batch.columns.push_back(std::move(data));
      start(col, Sizes{batch.columns.back().offsets.size(), batch.columns.back().values.size()});
    }
    done_.push_back(std::move(batch));
    rows_ = 0;
    text_peak_ = 0;
  }

  bool fixed_;
  std::size_t batch_rows_;
  std::vector<std::string> names_;
  std::uint64_t seed_ = next_map_keys().k0;
  std::vector<Known> known_;
  std::vector<Slot> slots_;
  std::vector<Building> building_;
  std::vector<Batch> done_;
  std::vector<Sizes> expected_;
  std::size_t rows_ = 0;
  std::size_t text_peak_ = 0;
  std::size_t skipped_ = 0;
  bool open_ = false;
};

// Records of .marl or .marlc text read into columns piece by piece, as the
// cut-point workers (stream::TextRounds) call it: each piece goes into a
// builder of its own, and the calling thread adopts the pieces' batches,
// in document order, into `merged`, whose columns are then those of one
// builder over the whole text (made with the same `fixed` and `batch_rows`).
class PieceColumns {
 public:
  PieceColumns(Format format, ColumnBuilder& merged, std::optional<std::vector<std::string>> fixed,
               std::size_t batch_rows)
      : merged_(merged), marl_(format == Format::marl), fixed_(std::move(fixed)), batch_rows_(batch_rows) {}

  struct Piece {
    std::vector<Batch> batches;
    std::vector<std::string> names;
    std::vector<ColumnBuilder::Sizes> first;  // of the first batch, for the slot's next piece
  };

  void read(Piece& piece, std::string_view text, std::uint64_t offset) const {
    stream::require_utf8(text, offset);
    ColumnBuilder builder(fixed_, batch_rows_, std::move(piece.first));
    text::scan(marl_, text, builder);
    piece.batches = builder.take(true);
    piece.names = builder.names();
    piece.first.clear();
    if (!piece.batches.empty())
      for (const ColumnData& column : piece.batches.front().columns)
        piece.first.push_back({column.offsets.size(), column.values.size()});
  }

  void take(Piece& piece) {
    for (Batch& batch : piece.batches) merged_.adopt(std::move(batch), piece.names);
    piece.batches.clear();
  }

 private:
  ColumnBuilder& merged_;
  bool marl_;
  std::optional<std::vector<std::string>> fixed_;
  std::size_t batch_rows_;
};

}  // namespace marlet_core::columns

// A read-only, bounds-checked window onto bytes of a cache file.
//
// Everything the reader takes from a cache goes through a ByteView: a range is
// checked to lie inside the view before any byte of it is touched, and
// little-endian words are assembled from single bytes, so neither the host's
// byte order nor the alignment of the mapping matters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace vaultcat {

// The little-endian 32-bit word at p. Compilers turn this into one load.
inline uint32_t loadLe32(const std::byte* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

class ByteView {
 public:
  constexpr ByteView() = default;
  constexpr ByteView(const std::byte* data, uint64_t size) : data_(data), size_(size) {}

  const std::byte* data() const { return data_; }
  uint64_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // Whether [offset, offset + length) lies inside the view. Written so that
  // no sum can wrap, whatever the two values are.
  bool contains(uint64_t offset, uint64_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }

  // The sub-range [offset, offset + length), or nothing if it leaves the view.
  std::optional<ByteView> subView(uint64_t offset, uint64_t length) const {
    if (!contains(offset, length)) return std::nullopt;
    return ByteView(data_ + offset, length);
  }

  // The NUL-terminated text starting at offset, without its NUL, or nothing
  // if offset is outside the view or no NUL follows within maxLength bytes
  // before the view ends.
  std::optional<std::string_view> cString(uint64_t offset, uint64_t maxLength) const {
    if (offset >= size_) return std::nullopt;
    uint64_t searched = size_ - offset < maxLength + 1 ? size_ - offset : maxLength + 1;
    const void* nul = std::memchr(data_ + offset, 0, static_cast<size_t>(searched));
    if (nul == nullptr) return std::nullopt;
    const auto* start = reinterpret_cast<const char*>(data_ + offset);
    return std::string_view(start, static_cast<size_t>(static_cast<const char*>(nul) - start));
  }

 private:
  const std::byte* data_ = nullptr;
  uint64_t size_ = 0;
};

// A table of `count()` records of Record::kSize bytes each, laid end to
// end in a view that holds them all: index i is looked for inside the
// table's own bytes, never by an offset from the start of the file.
template <class Record>
class RecordTable {
 public:
  RecordTable() = default;
  // `bytes` holds a whole number of records, fewer than 2^32 of them.
  explicit RecordTable(ByteView bytes)
      : bytes_(bytes), count_(static_cast<uint32_t>(bytes.size() / Record::kSize)) {}

  uint32_t count() const { return count_; }
  // Record `index`; nothing past the end of the table.
  std::optional<Record> at(uint32_t index) const {
    if (index >= count_) return std::nullopt;
    return Record::decode(bytes_.data() + Record::kSize * index);
  }

 private:
  ByteView bytes_;
  uint32_t count_ = 0;
};

// Walks a view from its start, handing out one checked range after
// another: sections of a file that follow each other.
class ByteCursor {
 public:
  explicit ByteCursor(ByteView view) : view_(view) {}

  // Where the next range begins.
  uint64_t position() const { return position_; }
  // Passes over the next `size` bytes and hands them out; false, without
  // moving, if they would leave the view.
  bool take(uint64_t size, ByteView& taken) {
    const std::optional<ByteView> range = view_.subView(position_, size);
    if (!range) return false;
    taken = *range;
    position_ += size;
    return true;
  }
  bool skip(uint64_t size) {
    ByteView skipped;
    return take(size, skipped);
  }
  // take() for a record that knows its size and how to decode itself.
  template <class Record>
  bool read(Record& record) {
    ByteView bytes;
    if (!take(Record::kSize, bytes)) return false;
    record = Record::decode(bytes.data());
    return true;
  }
  // take() for `count` records one after another.
  template <class Record>
  bool take(uint32_t count, RecordTable<Record>& table) {
    ByteView bytes;
    if (!take(Record::kSize * count, bytes)) return false;
    table = RecordTable<Record>(bytes);
    return true;
  }
  // Goes on from `position`, which may lie outside the view.
  void moveTo(uint64_t position) { position_ = position; }

 private:
  ByteView view_;
  uint64_t position_ = 0;
};

}  // namespace vaultcat

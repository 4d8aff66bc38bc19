#pragma once
// The growable text of a row table. Like a std::string without the terminating NUL: it can
// take over a buffer that still holds the input, or borrow a stretch of one, and be written
// over it from the front as the input is consumed; growing it leaves the new bytes unset.

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string_view>
#include <utility>

#include "memory/byte_buffer.h"

namespace rowmender {

class TextBuffer {
 public:
  TextBuffer() = default;
  TextBuffer(TextBuffer&& other) noexcept { *this = std::move(other); }
  TextBuffer& operator=(TextBuffer&& other) noexcept {
    storage_ = std::move(other.storage_);
    data_ = std::exchange(other.data_, no_text());
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    borrowed_ = std::exchange(other.borrowed_, false);
    input_ = std::move(other.input_);
    storage_holds_input_ = std::exchange(other.storage_holds_input_, false);
    return *this;
  }

  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  char* data() noexcept { return data_; }
  const char* data() const noexcept { return data_; }
  std::string_view view() const noexcept { return {data_, size_}; }
  operator std::string_view() const noexcept { return view(); }
  char operator[](std::size_t i) const noexcept { return data_[i]; }

  // Takes over `storage`, which holds input still to be read, as empty text. Whoever reads
  // that input must stay ahead of the text written over it. When the text moves to other
  // storage, the input stays where it is until end_of_input().
  void write_over(ByteBuffer storage) noexcept {
    storage_ = std::move(storage);
    data_ = storage_.capacity() != 0 ? storage_.data() : no_text();
    capacity_ = storage_.capacity();
    size_ = 0;
    storage_holds_input_ = true;
    borrowed_ = false;
  }
  // Writes, from empty, into the `capacity` bytes at `region`, which belong to someone else
  // (input still being read: the same rule as for write_over holds). Growing past them moves
  // the text to storage of its own; the region is never freed here.
  void borrow(char* region, std::size_t capacity) noexcept {
    data_ = region != nullptr ? region : no_text();
    capacity_ = capacity;
    size_ = 0;
    borrowed_ = true;
  }
  bool borrowed() const noexcept { return borrowed_; }
  // Lets a borrowed stretch reach `capacity` bytes from its start, as its owner allows.
  void extend_borrowed(std::size_t capacity) noexcept {
    if (borrowed_ && data_ != no_text() && capacity > capacity_) capacity_ = capacity;
  }
  // Moves the text into storage of its own, of the same capacity.
  void move_to_own_storage() { reallocate(capacity()); }
  // The input is no longer read: the memory that holds only input is released, the text's
  // own storage included where it lies past the text (a file whose rows were mostly set
  // aside leaves little text in a buffer of the file's size).
  void end_of_input() noexcept {
    input_ = ByteBuffer();
    if (storage_holds_input_) {
      storage_.shrink_to(size_);
      capacity_ = storage_.capacity();
      if (capacity_ == 0) data_ = no_text();
    }
    storage_holds_input_ = false;
  }

  void reserve(std::size_t capacity) {
    if (capacity > capacity_) reallocate(capacity);
  }
  // Appends `n` bytes from `bytes`, which may lie in this buffer's own storage ahead of the
  // text (hence memmove).
  void append(const char* bytes, std::size_t n) {
    make_room(n);
    if (n != 0) std::memmove(data_ + size_, bytes, n);
    size_ += n;
  }
  void append(std::string_view bytes) { append(bytes.data(), bytes.size()); }
  void push_back(char c) {
    make_room(1);
    data_[size_++] = c;
  }
  // Sets the size; bytes added are unset until written.
  void resize(std::size_t size) {
    if (size > size_) make_room(size - size_);
    size_ = size;
  }
  // Drops the bytes from `size` on; never allocates.
  void truncate(std::size_t size) noexcept { size_ = std::min(size_, size); }
  // Empties the text; a borrowed stretch is given back, the text's own storage used again.
  void clear() noexcept {
    size_ = 0;
    if (borrowed_) {
      borrowed_ = false;
      data_ = storage_.capacity() != 0 ? storage_.data() : no_text();
      capacity_ = storage_.capacity();
    }
  }

 private:
  void make_room(std::size_t n) {
    if (capacity_ - size_ < n) reallocate(std::max({size_ + n, 2 * capacity_, std::size_t{64}}));
  }
  void reallocate(std::size_t capacity) {
    if (borrowed_) {
      // Out of the borrowed stretch: the text so far comes along.
      if (storage_.capacity() < capacity) storage_ = ByteBuffer(capacity);
      if (size_ != 0) std::memcpy(storage_.data(), data_, size_);
      borrowed_ = false;
    } else if (storage_holds_input_ || capacity < storage_.capacity()) {
      ByteBuffer bigger(capacity);
      if (size_ != 0) std::memcpy(bigger.data(), data_, size_);
      if (storage_holds_input_) {
        input_ = std::move(storage_);  // still being read
        storage_holds_input_ = false;
      }
      storage_ = std::move(bigger);
    } else {
      storage_.grow(capacity, size_);  // a large text moves without being copied
    }
    data_ = storage_.data();
    capacity_ = storage_.capacity();
  }

  // Where an empty text without storage points, so that its data is never null (memcpy and
  // friends may not be handed a null pointer, even for no bytes). Never written: any write
  // first makes room, which gives the text storage of its own.
  static char* no_text() noexcept {
    static char nothing = '\0';
    return &nothing;
  }

  ByteBuffer storage_;
  char* data_ = no_text();  // storage_.data() or the borrowed stretch, at hand for every access
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;  // of data_
  bool borrowed_ = false;
  ByteBuffer input_;  // input moved out of the way of the text, until end_of_input()
  bool storage_holds_input_ = false;
};

}  // namespace rowmender

#pragma once
// Where the bytes a pass will write are kept until they are written: stretches of its input,
// and text the writer made. Bytes are handed out as spans, which stay valid until the arena
// restarts.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "memory/text_buffer.h"
#include "salvage/text_place.h"

namespace rowmender {

struct Span {
  std::uint64_t made : 1;  // in the made text, else in the input
  std::uint64_t begin : 63;
  std::uint64_t end;

  std::uint64_t size() const noexcept { return end - begin; }
};

class ByteArena {
 public:
  // Spans of the input refer to it where it lies; `input` is borrowed and must outlive them.
  explicit ByteArena(std::string_view input = {}) noexcept : input_(input) {}
  // An arena that moves what it keeps to the front of `input` as the input is read, so that
  // runs of kept bytes stay one stretch even where bytes are dropped between them (the CR of
  // a CR LF): fewer, longer pieces are much cheaper to write than many short ones. The
  // caller gives up the bytes it has read: see keep_input and keep_text.
  static ByteArena over_input(char* input, std::size_t size) noexcept {
    ByteArena arena(std::string_view(input, size));
    arena.writable_ = input;
    return arena;
  }

  // Makes room for made text of about a whole input's size, as far as the address space
  // allows: untouched room costs address space only, and growing would copy everything made
  // so far into pages that must be faulted in afresh.
  void reserve_for_input() noexcept;

  // Keeps the input bytes [begin, end). Over the input, they are moved to the end of what
  // is kept, which never lies after `begin`.
  Span keep_input(std::size_t begin, std::size_t end);
  // Keeps a copy of `text`. Over the input, it is written in place when it fits before
  // `unread`, the first input byte still to be read; everything before it may be
  // overwritten.
  Span keep_text(std::string_view text, std::size_t unread);

  // Over the input: where the next bytes kept go, and how far the input goes from there. A
  // row's text may be written there while the input is read ahead of it, then made into
  // what is kept in place. nullptr when the arena does not write over its input.
  char* frontier() noexcept { return writable_ != nullptr ? writable_ + kept_ : nullptr; }
  std::size_t frontier_room() const noexcept { return input_.size() - kept_; }
  // From the frontier to `unread`, the first input byte still to be read.
  std::size_t room_before(std::size_t unread) const noexcept { return TextPlace::room(kept_, unread); }
  // Keeps `size` bytes written at the frontier; they must lie before the first unread byte.
  Span keep_written(std::size_t size) noexcept {
    const Span span{0, kept_, kept_ + size};
    kept_ += size;
    return span;
  }
  // Made text, to be written into directly; spans of it are made with made_span.
  TextBuffer& made_text() noexcept { return made_; }
  Span made_span(std::size_t begin) const noexcept { return {1, begin, made_.size()}; }

  std::string_view view(const Span& span) const noexcept {
    const char* base = span.made ? made_.data() : input_.data();
    return {base + span.begin, static_cast<std::size_t>(span.size())};
  }

  // Goes on over a new input (a stream's next window), forgetting every span handed out.
  void restart(std::string_view input) noexcept {
    input_ = input;
    made_.clear();
  }
  // The same, over a new input it may write over (as over_input), keeping its memory.
  void restart_over(char* input, std::size_t size) noexcept {
    restart(std::string_view(input, size));
    writable_ = input;
    kept_ = 0;
  }

 private:
  std::string_view input_;
  char* writable_ = nullptr;  // the input, when the arena writes over it
  std::size_t kept_ = 0;      // over the input: the end of what is kept at its front
  TextBuffer made_;
};

}  // namespace rowmender

#include "salvage/damage_sample.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace rowmender {
namespace {

constexpr std::size_t kStateWords = 624;
constexpr std::size_t kShift = 397;

}  // namespace

// The bytes of one write, gathered from its pieces, read front to back: each search starts
// at or after where the last one started, so the pieces are walked once per write.
class GatheredBytes {
 public:
  GatheredBytes(std::span<const iovec> pieces, std::size_t size) noexcept : pieces_(pieces), size_(size) {}

  // Where the next `byte` at or after `from` is; size() when there is none.
  std::size_t find(char byte, std::size_t from) noexcept {
    if (from < base_) rewind();
    while (piece_ < pieces_.size() && from < size_) {
      const std::size_t length = std::min(pieces_[piece_].iov_len, size_ - base_);
      if (from < base_ + length) {
        const char* data = static_cast<const char*>(pieces_[piece_].iov_base);
        const void* at = std::memchr(data + (from - base_), byte, base_ + length - from);
        if (at != nullptr) return base_ + static_cast<std::size_t>(static_cast<const char*>(at) - data);
        from = base_ + length;
      }
      base_ += length;
      ++piece_;
    }
    return size_;
  }

  void append(std::size_t from, std::size_t to, std::string& out) const {
    std::size_t base = 0;
    for (const iovec& piece : pieces_) {
      if (base >= to) break;
      const std::size_t length = std::min(piece.iov_len, size_ - base);
      const std::size_t begin = std::max(from, base), end = std::min(to, base + length);
      if (begin < end) out.append(static_cast<const char*>(piece.iov_base) + (begin - base), end - begin);
      base += length;
    }
  }

  char last() const noexcept {
    std::size_t base = 0;
    char found = '\0';
    for (const iovec& piece : pieces_) {
      const std::size_t length = std::min(piece.iov_len, size_ - base);
      if (length != 0) found = static_cast<const char*>(piece.iov_base)[length - 1];
      base += length;
      if (base == size_) break;
    }
    return found;
  }

  std::size_t size() const noexcept { return size_; }

 private:
  void rewind() noexcept { piece_ = base_ = 0; }

  std::span<const iovec> pieces_;
  std::size_t size_;
  std::size_t piece_ = 0;
  std::size_t base_ = 0;  // where pieces_[piece_] starts
};

// Seeded by init_by_array with the seed as its one key word, as Python seeds from an int.
SeededRandom::SeededRandom(std::uint32_t seed) noexcept {
  state_[0] = 19650218U;
  for (std::uint32_t i = 1; i < kStateWords; ++i) {
    state_[i] = 1812433253U * (state_[i - 1] ^ (state_[i - 1] >> 30)) + i;
  }
  std::uint32_t i = 1;
  for (std::size_t k = kStateWords; k != 0; --k) {
    state_[i] = (state_[i] ^ ((state_[i - 1] ^ (state_[i - 1] >> 30)) * 1664525U)) + seed;
    if (++i >= kStateWords) {
      state_[0] = state_[kStateWords - 1];
      i = 1;
    }
  }
  for (std::size_t k = kStateWords - 1; k != 0; --k) {
    state_[i] = (state_[i] ^ ((state_[i - 1] ^ (state_[i - 1] >> 30)) * 1566083941U)) - i;
    if (++i >= kStateWords) {
      state_[0] = state_[kStateWords - 1];
      i = 1;
    }
  }
  state_[0] = 0x80000000U;
}

std::uint32_t SeededRandom::next() noexcept {
  if (index_ >= kStateWords) {
    auto twist = [](std::uint32_t upper, std::uint32_t lower, std::uint32_t far) {
      const std::uint32_t y = (upper & 0x80000000U) | (lower & 0x7fffffffU);
      return far ^ (y >> 1) ^ ((y & 1U) != 0 ? 0x9908b0dfU : 0U);
    };
    for (std::size_t k = 0; k < kStateWords; ++k) {
      state_[k] = twist(state_[k], state_[(k + 1) % kStateWords], state_[(k + kShift) % kStateWords]);
    }
    index_ = 0;
  }
  std::uint32_t y = state_[index_++];
  y ^= y >> 11;
  y ^= (y << 7) & 0x9d2c5680U;
  y ^= (y << 15) & 0xefc60000U;
  y ^= y >> 18;
  return y;
}

double SeededRandom::random() noexcept {
  const std::uint32_t a = next() >> 5, b = next() >> 6;
  return (a * 67108864.0 + b) * (1.0 / 9007199254740992.0);
}

// getrandbits(k): 32-bit words from the least significant up, the last one cut to its top bits.
std::uint64_t SeededRandom::bits(unsigned k) noexcept {
  if (k == 0) return 0;
  if (k <= 32) return next() >> (32 - k);
  const std::uint64_t low = next();
  return low | (static_cast<std::uint64_t>(next() >> (64 - k)) << 32);
}

std::uint64_t SeededRandom::below(std::uint64_t n) noexcept {
  const auto k = static_cast<unsigned>(std::bit_width(n));
  std::uint64_t r = bits(k);
  while (r >= n) r = bits(k);
  return r;
}

void ChangeSampler::record(std::uint64_t first_line, std::uint64_t last_line, std::string_view kind,
                           std::string_view detail, std::uint64_t begin, std::uint64_t end) {
  auto found = std::find_if(kinds_.begin(), kinds_.end(), [&](const KindSample& k) { return k.kind == kind; });
  if (found == kinds_.end()) {
    kinds_.emplace_back();
    kinds_.back().kind = kind;
    found = kinds_.end() - 1;
  }
  if (first_line > span_ * kMapBins) widen(first_line);
  found->bins[first_line == 0 ? 0 : (first_line - 1) / span_] += 1;
  ++found->count;
  if (found->sample.size() < kExamplesPerKind || found->count == found->next) {
    offer(*found, {first_line, last_line, std::string(detail), begin, end});
  }
  last_line_ = std::max(last_line_, last_line);
  if (kind == "filled" || kind == "merged") {
    auto key = std::make_pair(std::string(kind), std::string(detail));
    auto tally = tallies_.find(key);
    if (tally != tallies_.end()) {
      ++tally->second;
    } else if (tallies_.size() < kTallies) {
      tallies_.emplace(std::move(key), 1);
    }
  }
}

// Called only for a change the reservoir takes: while it fills, and at the count it skipped to.
void ChangeSampler::offer(KindSample& sample, SampledChange change) {
  if (sample.sample.size() < kExamplesPerKind) {
    sample.sample.push_back(std::move(change));
    if (sample.sample.size() == kExamplesPerKind) skip(sample);
    return;
  }
  sample.sample[random_.below(kExamplesPerKind)] = std::move(change);
  skip(sample);
}

void ChangeSampler::skip(KindSample& sample) noexcept {
  auto draw = [this] {
    const double r = random_.random();
    return r != 0.0 ? r : 1e-300;
  };
  sample.weight *= std::exp(std::log(draw()) / static_cast<double>(kExamplesPerKind));
  const double gap = sample.weight < 1.0 ? std::log(draw()) / std::log1p(-sample.weight) : 0.0;
  sample.next = sample.count + static_cast<std::uint64_t>(std::min(gap, 1e18)) + 1;
}

// Pairs of bins merge, and the span doubles, until `line` lies within the map.
void ChangeSampler::widen(std::uint64_t line) {
  constexpr std::size_t half = kMapBins / 2;
  while (line > span_ * kMapBins) {
    for (KindSample& sample : kinds_) {
      for (std::size_t i = 0; i < half; ++i) sample.bins[i] = sample.bins[2 * i] + sample.bins[2 * i + 1];
      std::fill(sample.bins.begin() + half, sample.bins.end(), 0);
    }
    span_ *= 2;
  }
}

Expected<std::size_t, SalvageError> TableSampler::write(std::span<const iovec> pieces) {
  auto n = inner_.write(pieces);
  if (!n) return n;
  // What the output took is sampled; the rest comes again in the next write.
  GatheredBytes chunk(pieces, n.value());
  written_ += chunk.size();
  if (!head_done_) {
    take_head(chunk);
  } else if (chunk.size() != 0) {
    offer_run(chunk);
  }
  if (chunk.size() != 0) after_break_ = chunk.last() == '\n';
  return n;
}

// Whole lines up to the head's size; quoted line breaks count as lines here, so a table of
// multi-line fields has a shorter head, never a longer one.
void TableSampler::take_head(GatheredBytes& chunk) {
  std::size_t end = 0;
  while (head_lines_ < kProfileHeadRows) {
    const std::size_t found = chunk.find('\n', end);
    if (found == chunk.size()) {
      end = chunk.size();
      break;
    }
    end = found + 1;
    ++head_lines_;
  }
  if (head_.size() + end > kProfileHeadBytes) {
    head_done_ = true;  // rows of kilobytes: the runs will do
    return;
  }
  chunk.append(0, end, head_);
  if (head_lines_ >= kProfileHeadRows) head_done_ = true;
}

void TableSampler::offer_run(GatheredBytes& chunk) {
  ++candidates_;
  const std::uint64_t slot = runs_.size() < kProfileRuns ? runs_.size() : random_.below(candidates_);
  if (slot >= kProfileRuns) return;
  std::size_t start = 0;
  if (!after_break_) {
    start = chunk.find('\n', 0);
    if (start == chunk.size()) return;
    ++start;
  }
  std::size_t end = start;
  for (std::size_t row = 0; row < kProfileRunRows; ++row) {
    const std::size_t found = chunk.find('\n', end);
    if (found == chunk.size() || found - start > kExampleBytes) break;
    end = found + 1;
  }
  if (end == start) return;
  std::string run;
  chunk.append(start, end, run);
  if (slot == runs_.size()) {
    runs_.push_back(std::move(run));
  } else {
    runs_[slot] = std::move(run);
  }
}

Expected<std::size_t, SalvageError> HeadSink::write(std::span<const iovec> pieces) {
  auto n = inner_.write(pieces);
  if (!n) return n;
  const std::size_t taken = n.value();
  const std::size_t room = limit_ - std::min(limit_, head_.size());
  GatheredBytes(pieces, taken).append(0, std::min(room, taken), head_);
  if (taken > room) cut_ = true;
  return n;
}

}  // namespace rowmender

#include "binding/py_text.h"

#include <algorithm>
#include <bit>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "simd/bit_count.h"
#include "unicode/utf8.h"

namespace rowmender::binding {
namespace {

#if defined(__SSE2__)
// Stores the 16 ASCII-or-not bytes of `chunk` as 16 code units of type Unit (one or two
// bytes wide) at `out`.
template <typename Unit>
void store_widened(Unit* out, __m128i chunk) noexcept {
  if constexpr (sizeof(Unit) == 1) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), chunk);
  } else {
    const __m128i zero = _mm_setzero_si128();
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(chunk, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(chunk, zero));
  }
}
#endif

// Decodes UTF-8 into exactly `length` code units. False, with nothing promised about `out`,
// when the bytes are not well-formed enough for that: a sequence cut off at the end, or a
// different number of characters. The engine hands over valid text only; the checks keep a
// fault elsewhere from writing past the new object.
template <typename Unit>
bool decode_into(Unit* out, std::size_t length, const std::uint8_t* p, std::size_t n) noexcept {
  std::size_t i = 0, written = 0;
  while (i < n) {
#if defined(__SSE2__)
    if constexpr (sizeof(Unit) <= 2) {
      // Where 16 bytes can be read and 16 units written, the ASCII bytes before the next
      // non-ASCII one are stored in one step (all 16 are stored; only the ASCII ones count).
      if (i + 16 <= n && written + 16 <= length) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(chunk));
        store_widened(out + written, chunk);
        const std::size_t ascii = high == 0 ? 16 : static_cast<std::size_t>(std::countr_zero(high));
        i += ascii;
        written += ascii;
        if (ascii == 16) continue;
      }
    }
#endif
    const std::uint32_t b = p[i];
    if (written == length) return false;
    std::uint32_t c;
    if (b < 0x80) {
      c = b;
      i += 1;
    } else if (b < 0xE0) {
      if (i + 2 > n) return false;
      c = ((b & 0x1F) << 6) | (p[i + 1] & 0x3Fu);
      i += 2;
    } else if (b < 0xF0) {
      if (i + 3 > n) return false;
      c = ((b & 0x0F) << 12) | ((p[i + 1] & 0x3Fu) << 6) | (p[i + 2] & 0x3Fu);
      i += 3;
    } else {
      if (i + 4 > n) return false;
      c = ((b & 0x07) << 18) | ((p[i + 1] & 0x3Fu) << 12) | ((p[i + 2] & 0x3Fu) << 6) | (p[i + 3] & 0x3Fu);
      i += 4;
    }
    out[written++] = static_cast<Unit>(c);
  }
  return written == length;
}

template <typename Unit>
PyObject* new_decoded_str(std::size_t length, Py_UCS4 max_char, const std::uint8_t* p, std::size_t n) {
  PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(length), max_char);
  if (str == nullptr) return nullptr;
  if (decode_into(static_cast<Unit*>(PyUnicode_DATA(str)), length, p, n)) return str;
  Py_DECREF(str);
  // Not valid after all: the standard decoder says exactly what is wrong.
  return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(p), static_cast<Py_ssize_t>(n), "strict");
}

// What a str made from valid UTF-8 must be: its length in characters (bytes less continuation
// bytes) and the storage its widest character needs, which a str must use exactly: lead
// bytes C2..C3 give U+0080..U+00FF (one byte per character), C4..EF up to U+FFFF (two),
// F0..F4 beyond (four). Eight bytes at a time: in each byte, bit 7 set and bit 6 clear is a
// continuation byte; bits 7 and 6 set with any of bits 5..2 is C4 or above; bits 7..4 all set
// is F0 or above. Shifting a word left moves each byte's lower bits up within the byte, so
// the tests read bit 7 of each byte alone.
struct Utf8Shape {
  std::size_t length;
  bool two_bytes_wide;
  bool four_bytes_wide;
};

Utf8Shape utf8_shape(const std::uint8_t* p, std::size_t n) noexcept {
  constexpr std::uint64_t kTop = 0x8080808080808080ULL;
  std::size_t continuation = 0;
  std::uint64_t two = 0, four = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    continuation += count_bits(w & ~(w << 1) & kTop);
    const std::uint64_t lead = w & (w << 1);
    two |= lead & ((w << 2) | (w << 3) | (w << 4) | (w << 5));
    four |= lead & (w << 2) & (w << 3);
  }
  std::uint8_t largest = 0;
  for (; i < n; ++i) {
    continuation += (p[i] & 0xC0) == 0x80;
    largest = std::max(largest, p[i]);
  }
  return {n - continuation, (two & kTop) != 0 || largest >= 0xC4, (four & kTop) != 0 || largest >= 0xF0};
}

// Decodes UTF-8 whose characters are all below U+0100 into one byte each: ASCII eight bytes
// at a time, each two-byte character in a few operations. False when the bytes are not such
// text after all, with nothing promised about `out`.
bool decode_latin1(std::uint8_t* out, std::size_t length, const std::uint8_t* p, std::size_t n) noexcept {
  std::size_t i = 0, written = 0;
  while (i < n) {
    if (i + 8 <= n && written + 8 <= length) {
      std::uint64_t w;
      std::memcpy(&w, p + i, 8);
      if ((w & 0x8080808080808080ULL) == 0) {
        std::memcpy(out + written, &w, 8);
        i += 8, written += 8;
        continue;
      }
    }
    if (written == length) return false;
    const std::uint8_t b = p[i];
    if (b < 0x80) {
      out[written++] = b;
      ++i;
    } else if ((b == 0xC2 || b == 0xC3) && i + 1 < n && (p[i + 1] & 0xC0) == 0x80) {
      out[written++] = static_cast<std::uint8_t>(((b & 0x03) << 6) | (p[i + 1] & 0x3F));
      i += 2;
    } else {
      return false;
    }
  }
  return written == length;
}

}  // namespace

PyObject* new_str(std::string_view utf8) {
  if (is_ascii(utf8)) return new_ascii_str(utf8);
  const auto* p = reinterpret_cast<const std::uint8_t*>(utf8.data());
  const std::size_t n = utf8.size();
  const Utf8Shape shape = utf8_shape(p, n);
  if (shape.four_bytes_wide) return new_decoded_str<Py_UCS4>(shape.length, 0x10FFFF, p, n);
  if (shape.two_bytes_wide) return new_decoded_str<Py_UCS2>(shape.length, 0xFFFF, p, n);
  PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(shape.length), 0xFF);
  if (str == nullptr) return nullptr;
  if (decode_latin1(PyUnicode_1BYTE_DATA(str), shape.length, p, n)) return str;
  Py_DECREF(str);
  // Not valid after all: the standard decoder says exactly what is wrong.
  return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(n), "strict");
}

PyObject* new_row_list(const RowView& row, FieldsDone done) {
  const std::size_t fields = row.size();
  PyRef list(PyList_New(static_cast<Py_ssize_t>(fields)));
  if (!list) return nullptr;
  // One scan tells whether the whole row is ASCII; then no field needs decoding.
  const std::string_view text = row.text();
  const bool ascii = is_ascii(text);
  // Whoever listens hears every 8 MiB of text or so.
  constexpr std::size_t kTellEvery = std::size_t{8} << 20;
  const char* told = text.data();
  for (std::size_t i = 0; i < fields; ++i) {
    const std::string_view field = row.field(i);
    PyObject* str = ascii ? new_ascii_str(field) : new_str(field);
    if (str == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), str);
    if (done.call != nullptr && field.data() + field.size() - told >= static_cast<std::ptrdiff_t>(kTellEvery)) {
      done.call(done.context, i + 1);
      told = field.data() + field.size();
    }
  }
  return list.release();
}

PyObject* new_char_str(std::uint8_t byte) { return PyUnicode_FromOrdinal(byte); }

}  // namespace rowmender::binding

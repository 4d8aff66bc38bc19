#include "binding/py_text.h"

#include <algorithm>

namespace rowmender::binding {
namespace {

// Decodes UTF-8 into exactly `length` code units. False, with nothing promised about `out`,
// when the bytes are not well-formed enough for that: a sequence cut off at the end, or a
// different number of characters. The engine hands over valid text only; the checks keep a
// fault elsewhere from writing past the new object.
template <typename Unit>
bool decode_into(Unit* out, std::size_t length, const std::uint8_t* p, std::size_t n) noexcept {
  std::size_t i = 0, written = 0;
  while (i < n && written < length) {
    const std::uint32_t b = p[i];
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
  return i == n && written == length;
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

}  // namespace

PyObject* new_str(std::string_view utf8) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(utf8.data());
  const std::size_t n = utf8.size();
  // One pass finds the character count (bytes less continuation bytes) and the largest
  // byte. The largest lead byte tells the storage the widest character needs, which a str
  // must use exactly: C2..C3 lead to U+0080..U+00FF (one byte per character), C4..EF to
  // U+0100..U+FFFF (two), F0..F4 beyond (four). Continuation bytes are below C2.
  std::size_t continuation = 0;
  std::uint8_t largest = 0;
  for (std::size_t i = 0; i < n; ++i) {
    continuation += (p[i] & 0xC0) == 0x80;
    largest = std::max(largest, p[i]);
  }
  if (largest < 0x80) return new_ascii_str(utf8);
  const std::size_t length = n - continuation;
  if (largest >= 0xF0) return new_decoded_str<Py_UCS4>(length, 0x10FFFF, p, n);
  if (largest >= 0xC4) return new_decoded_str<Py_UCS2>(length, 0xFFFF, p, n);
  return new_decoded_str<Py_UCS1>(length, 0xFF, p, n);
}

PyObject* new_char_str(std::uint8_t byte) { return PyUnicode_FromOrdinal(byte); }

}  // namespace rowmender::binding

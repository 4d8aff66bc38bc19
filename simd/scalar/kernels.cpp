// The kernels for any processor. Compiled for the build's baseline, like the rest of the engine.

#include "simd/byte_scan_kernel.h"
#include "simd/line_map_kernel.h"
#include "simd/scalar/bytes.h"
#include "simd/targets.h"
#include "unicode/utf8.h"

namespace rowmender::simd::scalar {
namespace {

// Table lookups a byte at a time would be slower than the decoder, which skips ASCII a word
// at a time and checks each other character with a few comparisons.
bool is_valid_utf8(const char* data, std::size_t size) noexcept {
  return utf8_valid_prefix(std::string_view(data, size)) == size;
}

}  // namespace

extern const Implementation kernels{
    "scalar",
    &simd::kernels::map_line<Bytes>,
    &is_valid_utf8,
    &simd::kernels::find_first_of4<Bytes>,
};

}  // namespace rowmender::simd::scalar

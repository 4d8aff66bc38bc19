// The kernels for x86 processors with SSSE3 (and so SSE2). CMake compiles this file with -mssse3;
// simd/implementation.cpp hands these kernels out only on processors that have it. Every
// function compiled here must be this file's own (the templates are instantiated for this
// target's Bytes): an inline function that other files use too could be linked in from this
// file's copy, with instructions that the processor lacks. A test checks the symbols.

#include "simd/targets.h"

#if defined(ROWMENDER_X86_KERNELS)

#include "simd/byte_scan_kernel.h"
#include "simd/line_map_kernel.h"
#include "simd/sse/bytes.h"
#include "simd/utf8_kernel.h"

namespace rowmender::simd::sse {

std::size_t find_first_of4(const char* data, std::size_t from, std::size_t end, char a, char b, char c,
                           char d) noexcept {
  return simd::kernels::find_first_of4<Bytes>(data, from, end, a, b, c, d);
}

extern const Implementation kernels{
    "sse",
    &simd::kernels::map_line<Bytes>,
    &simd::kernels::is_valid_utf8<Bytes>,
    &find_first_of4,
};

}  // namespace rowmender::simd::sse

#endif

// The kernels for x86 processors with AVX2. CMake compiles this file with -mavx2;
// simd/implementation.cpp hands these kernels out only on processors that have it. Every
// function compiled here must be this file's own (the templates are instantiated for this
// target's Bytes): an inline function that other files use too could be linked in from this
// file's copy, with instructions that the processor lacks. A test checks the symbols.

#include "simd/targets.h"

#if defined(ROWMENDER_X86_KERNELS)

#include "simd/avx2/bytes.h"
#include "simd/line_map_kernel.h"
#include "simd/utf8_kernel.h"

namespace rowmender::simd::avx2 {

extern const Implementation kernels{
    "avx2",
    &simd::kernels::map_line<Bytes>,
    &simd::kernels::is_valid_utf8<Bytes>,
    // The scans are mostly short (a field, the rest of a line): in steps of 32 bytes, more of
    // them would be left to the byte-by-byte end of the scan than in steps of 16.
    &sse::find_first_of4,
};

}  // namespace rowmender::simd::avx2

#endif

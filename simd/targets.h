#pragma once
// The implementation of each target this build has, defined by simd/<target>/kernels.cpp.
// Whether the processor runs one is asked by simd/implementation.cpp, not here.

#include <cstddef>

#include "simd/implementation.h"

#if defined(__x86_64__) || defined(__i386__)
#define ROWMENDER_X86_KERNELS 1
#endif
#if defined(__aarch64__) && defined(__ARM_NEON)
#define ROWMENDER_NEON_KERNELS 1
#endif

namespace rowmender::simd {

namespace scalar {
extern const Implementation kernels;
}

#if defined(ROWMENDER_X86_KERNELS)
namespace sse {  // SSE2 and SSSE3
extern const Implementation kernels;
// The byte scan of these kernels, which serves the AVX2 ones too.
std::size_t find_first_of4(const char* data, std::size_t from, std::size_t end, char a, char b, char c,
                           char d) noexcept;
}  // namespace sse
namespace avx2 {
extern const Implementation kernels;
}
#endif

#if defined(ROWMENDER_NEON_KERNELS)
namespace neon {
extern const Implementation kernels;
}
#endif

}  // namespace rowmender::simd

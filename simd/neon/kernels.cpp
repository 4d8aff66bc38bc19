// The kernels for 64-bit ARM processors, all of which have NEON.

#include "simd/targets.h"

#if defined(ROWMENDER_NEON_KERNELS)

#include "simd/byte_scan_kernel.h"
#include "simd/line_map_kernel.h"
#include "simd/neon/bytes.h"
#include "simd/utf8_kernel.h"

namespace rowmender::simd::neon {

extern const Implementation kernels{
    "neon",
    &simd::kernels::map_line<Bytes>,
    &simd::kernels::is_valid_utf8<Bytes>,
    &simd::kernels::find_first_of4<Bytes>,
};

}  // namespace rowmender::simd::neon

#endif

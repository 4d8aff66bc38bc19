#pragma once
// What the processor offers beyond plain x86-64, asked once per process. The build assumes
// only SSE2; kernels that need more check here before they run.

namespace rowmender {

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
inline bool cpu_has_ssse3() noexcept {
  static const bool supported = __builtin_cpu_supports("ssse3");
  return supported;
}
inline bool cpu_has_avx2() noexcept {
  static const bool supported = __builtin_cpu_supports("avx2");
  return supported;
}
#endif

}  // namespace rowmender

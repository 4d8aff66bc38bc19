#include "simd/implementation.h"

#include <array>
#include <cstdlib>

#include "simd/targets.h"

namespace rowmender::simd {
namespace {

bool runs_anywhere() noexcept { return true; }

#if defined(ROWMENDER_X86_KERNELS)
// __builtin_cpu_supports also asks the operating system whether it saves the AVX registers.
// __builtin_cpu_init is needed only before static constructors have run, which may be now.
bool has_ssse3() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("sse2") && __builtin_cpu_supports("ssse3");
}
bool has_avx2() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
#endif

struct Candidate {
  const Implementation* kernels;
  bool (*runs_here)() noexcept;
};

// Every implementation this build has, best first.
constexpr Candidate kCandidates[] = {
#if defined(ROWMENDER_X86_KERNELS)
    {&avx2::kernels, &has_avx2},
    {&sse::kernels, &has_ssse3},
#endif
#if defined(ROWMENDER_NEON_KERNELS)
    {&neon::kernels, &runs_anywhere},
#endif
    {&scalar::kernels, &runs_anywhere},
};

struct Supported {
  std::array<const Implementation*, std::size(kCandidates)> list{};
  std::size_t count = 0;
};

Supported find_supported() noexcept {
  Supported supported;
  for (const Candidate& candidate : kCandidates) {
    if (candidate.runs_here()) supported.list[supported.count++] = candidate.kernels;
  }
  return supported;
}

}  // namespace

std::span<const Implementation* const> implementations() noexcept {
  static const Supported supported = find_supported();
  return {supported.list.data(), supported.count};
}

const Implementation& choose_implementation(std::string_view requested) noexcept {
  const auto supported = implementations();
  for (const Implementation* kernels : supported) {
    if (requested == kernels->name) return *kernels;
  }
  return *supported.front();
}

const Implementation& choose_from_environment() noexcept {
  const char* requested = std::getenv("ROWMENDER_KERNELS");
  return choose_implementation(requested == nullptr ? std::string_view() : std::string_view(requested));
}

}  // namespace rowmender::simd

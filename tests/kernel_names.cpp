// Prints the name of each kernel implementation this processor runs, best first, one a line:
// the values of ROWMENDER_KERNELS worth running the tests with.

#include <cstdio>

#include "simd/implementation.h"

int main() {
  for (const rowmender::simd::Implementation* kernels : rowmender::simd::implementations()) {
    std::puts(kernels->name);
  }
  return 0;
}

#pragma once
#include <cstddef>

namespace sonabel {

// Split-complex data: separately allocated real and imaginary parts of equal length, owned by
// the caller until released.
struct SplitComplex {
    float* realp = nullptr;
    float* imagp = nullptr;
};

// Both parts filled with fill; empty parts when the memory cannot be had.
SplitComplex makeSplitComplexBuffers(std::size_t count, float fill);
SplitComplex makeSplitComplexBuffers(std::size_t count, float real, float imaginary);
void releaseSplitComplexBuffers(SplitComplex& buffers);

} // namespace sonabel

#include "sonabel/internals/utilities/SplitComplexBuffers.h"

#include <algorithm>
#include <new>

namespace sonabel {

SplitComplex makeSplitComplexBuffers(std::size_t count, float fill) {
    return makeSplitComplexBuffers(count, fill, fill);
}

SplitComplex makeSplitComplexBuffers(std::size_t count, float real, float imaginary) {
    SplitComplex b;
    b.realp = new (std::nothrow) float[count ? count : 1];
    b.imagp = new (std::nothrow) float[count ? count : 1];
    if (!b.realp || !b.imagp) {
        releaseSplitComplexBuffers(b);
        return b;
    }
    std::fill(b.realp, b.realp + count, real);
    std::fill(b.imagp, b.imagp + count, imaginary);
    return b;
}

void releaseSplitComplexBuffers(SplitComplex& buffers) {
    delete[] buffers.realp;
    delete[] buffers.imagp;
    buffers = {};
}

} // namespace sonabel

// The arithmetic every kernel's image rests on, written once: the pixel
// centres, the squared distance, the sample position of a squared distance,
// its rounding to a sample index, the derivative term with the element
// after the last one of a frame, and the order in which the terms are added.
// The scalar kernel (recon.cpp), the vector kernel's plan
// (recon_simd_thresholds.cpp, recon_simd_coverage.cpp) and every
// instruction-set family of the vector kernel (recon_simd_<family>-inl.h)
// compute them through these templates, over doubles (ScalarArith) or over
// a family's vectors, which give the same operations (Set, Add, Sub, Mul,
// Sqrt) lane by lane. IEEE arithmetic without contraction rounds each
// operation the same way on every lane of every instruction set, so the
// same operations in the same order give the same bits everywhere.
//
// The rounding. A sample index is the position rounded half away from
// zero. For a position Y >= 0, Y + h with h = kJustBelowHalf (the largest
// double below 1/2), rounded to the nearest double and truncated, is that.
// Let F = floor(Y) and u the spacing of the doubles at Y:
//   - fraction below 1/2, Y < 1: the exact sum lies below 1 - 2^-54, the
//     midpoint under 1, and rounds below 1;
//   - fraction below 1/2, Y >= 1: Y <= F + 1/2 - u, so the exact sum lies
//     more than u below F + 1, while the doubles just below F + 1 are at
//     most 2u apart (F + 1 <= 2Y): it rounds below F + 1. From 2^52 on, Y
//     is whole and h less than half of u: Y + h rounds to Y;
//   - fraction 1/2 or more: the exact sum is at least F + 1 - 2^-54 and
//     below F + 3/2, and the doubles just below F + 1 are at least 2^-53
//     apart: it rounds to F + 1 (the tie at Y = 1/2, to the even 1).
// A negative position rounds to 0 or below and selects sample 0, as does
// Y + h < 0. So the index rule is, with up = RoundingUp(Y):
//     index = 0                            if not 0 <= up < kIndexLimit (NaN too)
//           = min(trunc(up), rows - 1)     otherwise
// which is reconSampleIndex (below) and every family's ExactIndex; the
// plan's thresholds E[m] are the smallest squared distances with
// RoundingUp(position) >= m. A family may truncate where its conversion
// truncates (or floors: the same for up >= 0), and may leave out the range
// tests where the plan has proved them true.
#ifndef TOFIMAGE_RECON_EXACT_H
#define TOFIMAGE_RECON_EXACT_H

#include <cmath>
#include <cstdint>

// The largest double below one half.
constexpr double kJustBelowHalf = 0.49999999999999994;

// 2^31: a rounded-up position from here on does not fit a 32-bit index,
// which the conversion turns into INT32_MIN and the clamp into sample 0.
constexpr double kIndexLimit = 2147483648.0;

// The centre of the pixel in column L and row K, with half1 = half - 1.0:
// columns run toward increasing x, rows toward decreasing y.
inline double pixelX(int64_t L, double half1, double dx) { return ((double)L - half1) * dx; }
inline double pixelY(int64_t K, double half1, double dx) { return (half1 - (double)K) * dx; }

// The element whose difference to element j of a frame (its last one at
// `last`) the derivative term takes: the next one, or j itself after the
// last one, so that the difference there is s - s: zero for a finite sample,
// NaN for an infinite or NaN one.
inline int64_t NextElement(int64_t j, int64_t last) { return j < last ? j + 1 : last; }

// The term image_select selects: only exactly 1.0 and 2.0 select their own.
inline int reconTerm(double image_select) {
    return image_select == 1.0 ? 1 : image_select == 2.0 ? 2 : 3;
}

// The operations of the templates below on doubles.
struct ScalarArith {
    using V = double;
    static V Set(double x) { return x; }
    static V Add(V a, V b) { return a + b; }
    static V Sub(V a, V b) { return a - b; }
    static V Mul(V a, V b) { return a * b; }
    static V Sqrt(V a) { return std::sqrt(a); }
};

// Square, SquaredDistance, SamplePosition, RoundingUp, RoundedUpPosition,
// DerivTerm, Accumulate and DerivTermsOfColumn, for doubles and for any type
// that gives ScalarArith's operations.
#include "recon_exact_rules.h"  // IWYU pragma: export

// Sample index for a sample position Y: rounded half away from zero,
// converted to 32 bits (out of range -> INT32_MIN), then clamped to
// [0, rows - 1] with the low clamp first. Negative positions, NaN,
// infinities and 2^31 and beyond select sample 0.
inline int32_t reconSampleIndex(double Y, int32_t rows) {
    const double up = RoundingUp<ScalarArith>(Y);
    if (!(up >= 0.0 && up < kIndexLimit)) return 0;
    const int32_t i = (int32_t)up;  // truncates
    return i > rows - 1 ? rows - 1 : i;
}

#endif

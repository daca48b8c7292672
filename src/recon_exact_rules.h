// The templates of recon_exact.h, defined in the namespace that includes
// this file: at global scope by recon_exact.h, and once per instruction set
// inside the vector kernel's per-target namespace by recon_simd_exact-inl.h, so that
// the vectors' copies compile with their instruction set's options (a
// function compiled without them cannot inline the vector operations). No
// include guard, for that reason. Each copy computes the same operations in
// the same order.

// e * e.
template <class A, class V = typename A::V>
inline V Square(V e) {
    return A::Mul(e, e);
}

// The squared distance from the squared offsets: (ex*ex + ey*ey) + ez*ez,
// the horizontal squares first. Where every ez*ez is zero (kHasZ false),
// adding it changes no value (the sum is +0 or more, or NaN) and is left out.
template <class A, bool kHasZ = true, class V = typename A::V>
inline V SquaredDistance(V ex2, V ey2, V ez2) {
    const V horizontal = A::Add(ex2, ey2);
    return kHasZ ? A::Add(horizontal, ez2) : horizontal;
}

// The sample position of squared distance d2: (k * sqrt(d2)) - q.
template <class A, class V = typename A::V>
inline V SamplePosition(V k, V q, V d2) {
    return A::Sub(A::Mul(k, A::Sqrt(d2)), q);
}

// The position plus kJustBelowHalf: truncated, the position rounded half
// away from zero (recon_exact.h).
template <class A, class V = typename A::V>
inline V RoundingUp(V position) {
    return A::Add(position, A::Set(kJustBelowHalf));
}

// The rounded-up position of squared distance d2: its sample index where
// that lies in 0 .. rows - 1 (recon_exact.h).
template <class A, class V = typename A::V>
inline V RoundedUpPosition(V k, V q, V d2) {
    return RoundingUp<A>(SamplePosition<A>(k, q, d2));
}

// The derivative term at sample i: the time-weighted forward difference
// (t[i] * invDt) * (next - sig), next being the sample after sig.
template <class A, class V = typename A::V>
inline V DerivTerm(V ti, V invDt, V sig, V next) {
    return A::Mul(A::Mul(ti, invDt), A::Sub(next, sig));
}

// The running sum R after one sensor's term: the sample (term 1), the
// derivative term (term 2), or the sample less the derivative term (term 3),
// added in this order. deriv() gives the derivative term; term 1 does not
// ask for it.
template <int kTerm, class A, class V = typename A::V, class Deriv>
inline V Accumulate(V R, V sig, Deriv deriv) {
    if constexpr (kTerm == 1)
        return A::Add(sig, R);
    else if constexpr (kTerm == 2)
        return A::Add(deriv(), R);
    else
        return A::Sub(A::Add(R, sig), deriv());
}

// The derivative terms of rows lo .. lo + count - 1 of the column `col` of a
// frame (`rows` rows, the frame's last element at col[lastInCol]), into
// D[0 .. count - 1]: zero outside the column, and the difference s - s at
// the frame's last element (NextElement). The rows inside the column
// whose next element lies inside the frame run as a plain loop the
// compiler vectorizes.
inline void DerivTermsOfColumn(const double* col, const double* t, double invDt, int64_t rows,
                               int64_t lastInCol, int64_t lo, int64_t count, double* D) {
    const auto clamp = [&](int64_t r) { return r < 0 ? 0 : r > count ? count : r; };
    const int64_t r0 = clamp(-lo);
    const int64_t r1 = clamp((rows < lastInCol ? rows : lastInCol) - lo);
    for (int64_t r = 0; r < r0; ++r) D[r] = 0.0;
    for (int64_t r = r0; r < r1; ++r)
        D[r] = DerivTerm<ScalarArith>(t[lo + r], invDt, col[lo + r], col[lo + r + 1]);
    for (int64_t r = r0 > r1 ? r0 : r1; r < count; ++r) {
        const int64_t i = lo + r;
        const int64_t next = NextElement(i, lastInCol);
        D[r] = i < rows ? DerivTerm<ScalarArith>(t[i], invDt, col[i], col[next]) : 0.0;
    }
}

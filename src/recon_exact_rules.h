// The templates of recon_exact.h, defined in the namespace that includes
// this file: at global scope by recon_exact.h, and once per instruction set
// inside the vector kernel's per-target namespace by recon_simd_exact-inl.h, so that
// the vectors' copies compile with their instruction set's options (a
// function compiled without them cannot inline the vector operations). No
// include guard, for that reason. Each copy computes the same operations in
// the same order.

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

// The derivative term at sample i: the time-weighted forward difference
// (t[i] * invDt) * (next - sig), next being the sample after sig.
template <class A, class V = typename A::V>
inline V DerivTerm(V ti, V invDt, V sig, V next) {
    return A::Mul(A::Mul(ti, invDt), A::Sub(next, sig));
}

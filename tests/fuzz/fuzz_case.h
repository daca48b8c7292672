// Turns arbitrary bytes into a small, valid reconstruction request, and
// writes requests back as bytes (for the seed corpus).
//
// Layout: five header bytes, then a stream of tagged values.
//   byte 0  n        = byte % 17          (0 .. 16; big: byte % 97)
//   byte 1  rows     = 2 + byte % 31      (2 .. 32; ramp: 2 + byte % 127)
//   byte 2  cols     = byte % 17          (0 .. 16; ramp: byte % 65; big: byte % 5)
//   byte 3  numCores = 1 + byte % 4       (1 .. 4)
//   byte 4  flags: bit 0 regular time axis (t[i] = t0 + i * dt from two
//           values; dt = 0 gives t[1] = t[0]), bit 1 the image holds values
//           on entry (otherwise zeros), bits 2-3 image_select: 1, 2, 3 or a
//           value from the stream, bit 4 ramp: sigMat[e] = (e + 1)^2, taking
//           no values from the stream, so that every element and every
//           forward difference differs (a wrong lookup shows in all three
//           terms; a linear ramp would cancel in the third) and long windows
//           and many sensors cost few
//           bytes; bit 5 big: images up to 96 pixels a side (several tiles
//           of every size the vector kernels use), with at most 4 sensors.
// Values, in order: c, fs, image_width, [image_select], t (t0 and dt, or rows
// values), x_sensor, y_sensor, z_sensor (cols each), [sigMat (rows * cols)],
// [the image on entry (n * n)].
// Each value is a tag byte and a payload: tag % 4 == 0 one signed byte in
// quarters (so exact ties like 2.5 are common and lookups land inside the
// window), 1 one byte indexing a table of special values, 2 a signed 16-bit
// integer in 256ths, 3 eight raw bytes (any bit pattern: NaN payloads,
// subnormals, infinities). Bytes past the end read as zero, so every input
// decodes, and short inputs give small, zero-padded requests.
#ifndef TOFIMAGE_TESTS_FUZZ_CASE_H
#define TOFIMAGE_TESTS_FUZZ_CASE_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "../problem.h"

// A request (its image on entry in start, always n * n values) and how it
// is written as bytes.
struct FuzzCase : Problem {
    FuzzCase() {
        rows = 2;
        c = fs = image_width = 0.0;
    }
    bool regularTime = false;
    bool imageOnEntry = false;
    bool ramp = false;
    bool big = false;
    int selectMode = 0;  // 0, 1, 2: image_select 1, 2, 3; 3: a value of its own
    double t0 = 0, dt = 0;  // regular time axis only
};

namespace fuzzcase {

inline const std::vector<double>& specials() {
    static const std::vector<double> table = [] {
        const double inf = std::numeric_limits<double>::infinity();
        const double nan = std::numeric_limits<double>::quiet_NaN();
        double snan, nnan;
        const uint64_t snanBits = 0x7ff0000000000001ull, nnanBits = 0xfff8000000000123ull;
        std::memcpy(&snan, &snanBits, 8);
        std::memcpy(&nnan, &nnanBits, 8);
        return std::vector<double>{
            0.0, -0.0, 1.0, -1.0, 0.5, -0.5, 1.5, 2.5, -2.5,
            nan, nnan, snan, inf, -inf,
            std::numeric_limits<double>::min(),         // smallest normal
            std::numeric_limits<double>::denorm_min(),  // smallest subnormal
            -std::numeric_limits<double>::denorm_min(),
            2.2250738585072009e-308,                    // largest subnormal
            std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(),
            1e300, -1e300, 1e-300, 1e154,               // 1e154 squared is near the top
            0.49999999999999994, 4.499999999999999, 9.5,
            2147483647.5, 2147483647.4, 2147483646.5, 2147483648.0,
            -2147483648.4, -2147483649.0, 4503599627370497.0, 9007199254740993.0,
            1500.0, 40e6, 2.5e-8, 0.025, 1e-6};
    }();
    return table;
}

// A regular time axis: t[i] = t0 + i * dt, as decode builds it.
inline void setRegularTime(FuzzCase& fc, double t0, double dt) {
    fc.regularTime = true;
    fc.t0 = t0;
    fc.dt = dt;
    fc.t.clear();
    for (int32_t i = 0; i < fc.rows; ++i) fc.t.push_back(t0 + (double)i * dt);
}

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    double value() {
        const uint8_t tag = byte();
        switch (tag % 4) {
            case 0: return (double)(int8_t)byte() / 4.0;
            case 1: return specials()[byte() % specials().size()];
            case 2: {
                const uint16_t lo = byte(), hi = byte();
                return (double)(int16_t)(uint16_t)(lo | (hi << 8)) / 256.0;
            }
            default: {
                uint64_t bits = 0;
                for (int b = 0; b < 8; ++b) bits |= (uint64_t)byte() << (8 * b);
                double v;
                std::memcpy(&v, &bits, 8);
                return v;
            }
        }
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

inline FuzzCase decode(const uint8_t* data, size_t size) {
    Reader r(data, size);
    FuzzCase fc;
    const uint8_t nByte = r.byte(), rowsByte = r.byte(), colsByte = r.byte();
    fc.numCores = 1 + r.byte() % 4;
    const uint8_t flags = r.byte();
    fc.regularTime = flags & 1;
    fc.imageOnEntry = flags & 2;
    fc.selectMode = (flags >> 2) & 3;
    fc.ramp = flags & 16;
    fc.big = flags & 32;
    fc.n = nByte % (fc.big ? 97 : 17);
    fc.rows = 2 + rowsByte % (fc.ramp ? 127 : 31);
    fc.cols = colsByte % (fc.big ? 5 : fc.ramp ? 65 : 17);
    fc.c = r.value();
    fc.fs = r.value();
    fc.image_width = r.value();
    fc.image_select = fc.selectMode == 3 ? r.value() : 1.0 + fc.selectMode;
    if (fc.regularTime) {
        const double t0 = r.value();
        setRegularTime(fc, t0, r.value());
    } else {
        for (int32_t i = 0; i < fc.rows; ++i) fc.t.push_back(r.value());
    }
    for (auto* v : {&fc.x, &fc.y, &fc.z})
        for (int32_t s = 0; s < fc.cols; ++s) v->push_back(r.value());
    for (int64_t e = 0; e < (int64_t)fc.rows * fc.cols; ++e)
        fc.sigMat.push_back(fc.ramp ? (double)(e + 1) * (double)(e + 1) : r.value());
    fc.start.assign((size_t)fc.n * fc.n, 0.0);
    if (fc.imageOnEntry)
        for (double& v : fc.start) v = r.value();
    return fc;
}

// Writes a value so that decode reads it back bit for bit: quarters and table
// entries in their short forms, everything else raw.
inline void encodeValue(std::vector<uint8_t>& out, double v) {
    const double q = v * 4.0;
    if (q >= -128.0 && q <= 127.0 && q == std::trunc(q) && !(v == 0.0 && std::signbit(v))) {
        out.push_back(0);
        out.push_back((uint8_t)(int8_t)q);
        return;
    }
    const auto& table = specials();
    for (size_t k = 0; k < table.size(); ++k)
        if (std::memcmp(&table[k], &v, 8) == 0) {
            out.push_back(1);
            out.push_back((uint8_t)k);
            return;
        }
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    out.push_back(3);
    for (int b = 0; b < 8; ++b) out.push_back((uint8_t)(bits >> (8 * b)));
}

// The inverse of decode for a case within its bounds (as listed above, for
// its ramp and big flags; t regular exactly when regularTime is set, sigMat
// the ramp exactly when ramp is set).
inline std::vector<uint8_t> encode(const FuzzCase& fc) {
    std::vector<uint8_t> out;
    out.push_back((uint8_t)fc.n);
    out.push_back((uint8_t)(fc.rows - 2));
    out.push_back((uint8_t)fc.cols);
    out.push_back((uint8_t)(fc.numCores - 1));
    out.push_back((uint8_t)((fc.regularTime ? 1 : 0) | (fc.imageOnEntry ? 2 : 0) |
                            (fc.selectMode << 2) | (fc.ramp ? 16 : 0) | (fc.big ? 32 : 0)));
    encodeValue(out, fc.c);
    encodeValue(out, fc.fs);
    encodeValue(out, fc.image_width);
    if (fc.selectMode == 3) encodeValue(out, fc.image_select);
    if (fc.regularTime) {
        encodeValue(out, fc.t0);
        encodeValue(out, fc.dt);
    } else {
        for (double v : fc.t) encodeValue(out, v);
    }
    for (const auto* v : {&fc.x, &fc.y, &fc.z})
        for (double e : *v) encodeValue(out, e);
    if (!fc.ramp)
        for (double v : fc.sigMat) encodeValue(out, v);
    if (fc.imageOnEntry)
        for (double v : fc.start) encodeValue(out, v);
    return out;
}

}  // namespace fuzzcase

#endif

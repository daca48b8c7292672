// The host's fast Fourier transform for the engine (BeamformFFT of
// recon_beamform.h), shared by the MEX gateways that need one
// (tofimage_beamform's envelope, tofimage_autofocus_search's analytic
// signal): MATLAB's or Octave's own fft and ifft, called back.
#ifndef TOFIMAGE_MEX_FFT_H
#define TOFIMAGE_MEX_FFT_H

#include "mex.h"

#include "mex_gateway.h"

#include <complex>
#include <cstdint>
#include <cstdio>

#ifdef HAVE_OCTAVE  // defined by Octave's mex.h
#include <octave/quit.h>
#endif

namespace tofimage_mex {

// The host's fft and ifft (BeamformFFT): `count` columns of `length`
// complex values go to the host as a complex matrix and are transformed
// along its first dimension. Every call goes through mexCallMATLABWithTrap,
// so an error in the host (memory, a shadowed fft) comes back here: the
// transform then returns false and keeps the host's message. Ctrl-C, which
// Octave may act on during the call, makes it return false too, and is
// noted (interrupted()) for the caller to report.
class HostFft {
public:
    bool operator()(std::complex<double>* data, int64_t length, int64_t count, bool inverse) {
        mxArray* x = nullptr;
        mxArray* y = nullptr;
        bool ok = false;
#ifdef HAVE_OCTAVE
        try {
#endif
            ok = transform(data, length, count, inverse, &x, &y);
#ifdef HAVE_OCTAVE
        } catch (const octave::interrupt_exception&) {
            interrupted_ = true;
        }
#endif
        if (x != nullptr) mxDestroyArray(x);
        if (y != nullptr) mxDestroyArray(y);
        return ok;
    }

    // The host's message when a transform failed, else empty.
    const char* error() const { return error_; }
    // Ctrl-C came during a transform.
    bool interrupted() const { return interrupted_; }

private:
    // A host function with trapped errors; false (and the message kept)
    // when it failed.
    bool call(const char* function, int nargs, mxArray* args[], mxArray** out) {
        mxArray* failure = mexCallMATLABWithTrap(1, out, nargs, args, function);
        if (failure == nullptr) return true;
        *out = nullptr;
        char text[kMsgSize - 64] = "unknown error";
#ifdef HAVE_OCTAVE  // a struct
        const mxArray* message = mxGetField(failure, 0, "message");
        if (message != nullptr && mxIsChar(message)) mxGetString(message, text, sizeof text);
#else  // an MException, whose property comes as a copy
        mxArray* message = mxGetProperty(failure, 0, "message");
        if (message != nullptr && mxIsChar(message)) mxGetString(message, text, sizeof text);
        if (message != nullptr) mxDestroyArray(message);
#endif
        std::snprintf(error_, sizeof error_, "%s: %s", function, text);
        mxDestroyArray(failure);
        return false;
    }

    bool transform(std::complex<double>* data, int64_t length, int64_t count, bool inverse,
                   mxArray** x, mxArray** y) {
        // The matrix is made by the host (complex(zeros(length, count))),
        // so that memory running out is a trapped error, not a jump out of
        // this call.
        mxArray* shape[2] = {mxCreateDoubleScalar((double)length),
                             mxCreateDoubleScalar((double)count)};
        mxArray* zeros = nullptr;
        const bool made = call("zeros", 2, shape, &zeros);
        mxDestroyArray(shape[0]);
        mxDestroyArray(shape[1]);
        if (!made) return false;
        const bool complexMade = call("complex", 1, &zeros, x);
        mxDestroyArray(zeros);
        if (!complexMade) return false;
        double* re = mxGetPr(*x);
        double* im = mxGetPi(*x);
        const int64_t n = length * count;
        for (int64_t k = 0; k < n; ++k) {
            re[k] = data[k].real();
            im[k] = data[k].imag();
        }
        // fft(x, [], 1): along the columns even when there is one row.
        mxArray* args[3] = {*x, mxCreateDoubleMatrix(0, 0, mxREAL), mxCreateDoubleScalar(1.0)};
        const bool done = call(inverse ? "ifft" : "fft", 3, args, y);
        mxDestroyArray(args[1]);
        mxDestroyArray(args[2]);
        if (!done) return false;
        if (!mxIsDouble(*y) || (int64_t)mxGetNumberOfElements(*y) != n) {
            std::snprintf(error_, sizeof error_, "%s returned %s", inverse ? "ifft" : "fft",
                          "an array of another class or size");
            return false;
        }
        // A result the host stored as real (no imaginary parts) has none.
        const double* yr = mxGetPr(*y);
        const double* yi = mxIsComplex(*y) ? mxGetPi(*y) : nullptr;
        for (int64_t k = 0; k < n; ++k) data[k] = {yr[k], yi != nullptr ? yi[k] : 0.0};
        return true;
    }

    char error_[kMsgSize] = "";
    bool interrupted_ = false;
};

}  // namespace tofimage_mex

#endif

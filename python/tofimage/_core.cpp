// Python binding of the reconstruction engine: one call reconstructs a stack
// of frames that share everything but the signals.
//
// The Python layer (__init__.py) converts the arguments to float64 and checks
// their kinds and shapes; this layer checks the request against the engine's
// limits (checkReconInput), allocates the output and runs doRecon once per
// frame without the GIL. A frame whose samples are already in the engine's
// column-major layout is read in place; any other frame is copied into one
// scratch matrix that every such frame reuses.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "recon.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

namespace py = pybind11;

namespace {

using Vector = py::array_t<double, py::array::c_style>;

// Copies the (rows, cols) frame at `src`, with byte strides s0 and s1, into
// the column-major matrix `dst`, in blocks so that neither side is walked
// with a long stride for long.
void copyFrame(const char* src, py::ssize_t s0, py::ssize_t s1, int64_t rows, int64_t cols,
               double* dst) {
    constexpr int64_t kBlock = 64;
    for (int64_t sb = 0; sb < cols; sb += kBlock)
        for (int64_t ib = 0; ib < rows; ib += kBlock) {
            const int64_t sEnd = std::min(cols, sb + kBlock);
            const int64_t iEnd = std::min(rows, ib + kBlock);
            for (int64_t s = sb; s < sEnd; ++s)
                for (int64_t i = ib; i < iEnd; ++i)
                    std::memcpy(&dst[i + s * rows], src + i * s0 + s * s1, sizeof(double));
        }
}

// sig: (rows, cols, frames) float64 with any strides. Returns the
// (n, n, frames) images in Fortran order: frame f is column-major, pixel
// (K, L) at [K, L, f]. `scalar` runs the reference kernel instead of the best
// one (for checks and benchmarks).
py::array reconFrames(py::array_t<double> sig, int32_t n, Vector x_sensor, Vector y_sensor,
                      Vector z_sensor, double c, double image_select, Vector t, double fs,
                      double image_width, int32_t numCores, bool scalar) {
    if (sig.ndim() != 3) throw py::value_error("sigMat must be a stack of shape (samples, sensors, frames)");
    const py::ssize_t rows = sig.shape(0), cols = sig.shape(1), frames = sig.shape(2);
    if (rows > std::numeric_limits<int32_t>::max() || cols > std::numeric_limits<int32_t>::max())
        throw py::value_error("sigMat is too large: its rows and columns must each number less than 2^31");

    // Checked as each frame will be handed over: rows*cols samples, and an
    // output of n*n pixels (stand-ins for buffers that do not exist yet).
    double standIn = 0.0;
    ReconInput in;
    in.sigMat = &standIn;
    in.rows = (int32_t)rows;
    in.cols = (int32_t)cols;
    in.n = n;
    in.x_sensor = x_sensor.data();
    in.y_sensor = y_sensor.data();
    in.z_sensor = z_sensor.data();
    in.c = c;
    in.image_select = image_select;
    in.t = t.data();
    in.fs = fs;
    in.image_width = image_width;
    in.numCores = numCores;
    in.Recon = &standIn;
    ReconExtents ext;
    ext.sigMat = (int64_t)rows * cols;
    ext.x_sensor = x_sensor.size();
    ext.y_sensor = y_sensor.size();
    ext.z_sensor = z_sensor.size();
    ext.t = t.size();
    ext.Recon = (int64_t)n * n;
    const std::string msg = checkReconInput(in, ext);
    if (!msg.empty()) throw py::value_error(msg);

    const py::ssize_t nn = std::max<int32_t>(n, 0);
    py::array_t<double, py::array::f_style> out({nn, nn, frames});
    const int64_t pixels = (int64_t)nn * nn;
    const py::ssize_t s0 = sig.strides(0), s1 = sig.strides(1), s2 = sig.strides(2);
    const char* base = reinterpret_cast<const char*>(sig.data());
    const bool aligned = reinterpret_cast<std::uintptr_t>(base) % alignof(double) == 0 &&
                         s2 % (py::ssize_t)alignof(double) == 0;
    const bool inPlace = cols == 0 || (aligned && s0 == (py::ssize_t)sizeof(double) &&
                                       (cols == 1 || s1 == rows * s0));
    // A NumPy array, so that it is accounted like the caller's arrays.
    py::array_t<double> scratch(inPlace || frames == 0 ? 0 : rows * cols);
    double* image = out.mutable_data();
    double* copy = scratch.mutable_data();
    const ReconKernel kernel = scalar ? ReconKernel::Scalar : ReconKernel::Best;
    {
        py::gil_scoped_release release;
        for (py::ssize_t f = 0; f < frames; ++f) {
            const char* frame = base + f * s2;
            if (inPlace) {
                in.sigMat = reinterpret_cast<const double*>(frame);
            } else {
                copyFrame(frame, s0, s1, rows, cols, copy);
                in.sigMat = copy;
            }
            in.Recon = image + f * pixels;
            std::fill(in.Recon, in.Recon + pixels, 0.0);  // doRecon adds into the image
            doRecon(in, kernel);
        }
    }
    return std::move(out);
}

}  // namespace

PYBIND11_MODULE(_core, m) {
    m.doc() = "tofimage reconstruction engine (internal; use tofimage.reconstruct)";
    m.def("frames", &reconFrames, py::arg("sig"), py::arg("n"), py::arg("x_sensor"),
          py::arg("y_sensor"), py::arg("z_sensor"), py::arg("c"), py::arg("image_select"),
          py::arg("t"), py::arg("fs"), py::arg("image_width"), py::arg("numCores"),
          py::arg("scalar") = false);
    m.def("kernel_name", [] { return std::string(reconKernelName(ReconKernel::Best)); },
          "Instruction set the engine's vector kernel uses on this CPU, or 'scalar'.");
}

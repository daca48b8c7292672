// Python binding of the reconstruction engine: plans (the engine's ReconPlan
// and BeamformPlan) that form the images of stacks of frames sharing one
// geometry.
//
// The Python layer (__init__.py) converts and checks the arguments and walks a
// stack one batch of frames at a time, converting a batch into scratch where
// the stack is not float64 in the engine's layout, and stops between batches
// when told to (Ctrl-C). This layer checks the request against the engine's
// limits (checkReconInput, checkBeamformInput) once, when the plan is made,
// and runs each batch without the GIL.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "recon.h"
#include "recon_autofocus.h"
#include "recon_beamform.h"
#include "recon_messages.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <exception>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

using Vector = py::array_t<double, py::array::c_style>;

bool isEngineStack(const py::array& a, py::ssize_t rows, py::ssize_t cols) {
    return py::isinstance<py::array_t<double>>(a) && a.ndim() == 3 && a.shape(0) == rows &&
           a.shape(1) == cols &&
           (a.flags() & py::detail::npy_api::NPY_ARRAY_F_CONTIGUOUS_) != 0 &&
           (a.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_) != 0;
}

// The engine's message for sigMat's dimensions, as a ValueError.
void checkSize(int64_t rows, int64_t cols) {
    const std::string msg = checkSigMatSize(rows, cols);
    if (!msg.empty()) throw py::value_error(msg);
}

class Plan {
public:
    // rows samples per sensor (the length of t), cols sensors. `frames`:
    // about how many frames one run takes. `scalar` runs the reference kernel
    // (for checks and benchmarks).
    Plan(int64_t rows, int64_t cols, int32_t n, Vector x_sensor, Vector y_sensor,
         Vector z_sensor, double c, double image_select, Vector t, double fs, double image_width,
         int32_t numCores, int64_t frames, bool scalar) {
        checkSize(rows, cols);
        // Stand-ins for the samples and the image, which come with each run.
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
        ext.sigMat = rows * cols;
        ext.x_sensor = x_sensor.size();
        ext.y_sensor = y_sensor.size();
        ext.z_sensor = z_sensor.size();
        ext.t = t.size();
        ext.Recon = (int64_t)n * n;
        const std::string msg = checkReconInput(in, ext);
        if (!msg.empty()) throw py::value_error(msg);
        rows_ = rows;
        cols_ = cols;
        n_ = n;
        const ReconKernel kernel = scalar ? ReconKernel::Scalar : ReconKernel::Best;
        py::gil_scoped_release release;  // the plan's tables may take a while
        plan_.reset(new ReconPlan(in, kernel, std::max<int64_t>(frames, 1)));
    }

    // sig: (rows, cols, frames) float64 in Fortran order; out: (n, n, frames)
    // float64 in Fortran order, overwritten with the images.
    void run(const py::array& sig, py::array& out) const {
        if (!isEngineStack(sig, rows_, cols_))
            throw py::value_error("internal: the stack must be Fortran-ordered float64 of the plan's rows and columns");
        const py::ssize_t frames = sig.shape(2);
        if (!isEngineStack(out, n_, n_) || out.shape(2) != frames || !out.writeable())
            throw py::value_error("internal: the images must be a writeable Fortran-ordered float64 stack");
        const double* samples = static_cast<const double*>(sig.data());
        double* images = static_cast<double*>(out.mutable_data());
        const int64_t elements = (int64_t)n_ * n_ * frames;
        py::gil_scoped_release release;
        std::fill(images, images + elements, 0.0);  // run() adds into the images
        plan_->run(samples, frames, images);
    }

    int64_t batchFrames() const { return plan_->batchFrames(); }
    std::string kernelName() const { return plan_->kernelName(); }

private:
    std::unique_ptr<ReconPlan> plan_;
    int64_t rows_ = 0, cols_ = 0;
    int32_t n_ = 0;
};

// NumPy's fft for the envelope, called by the engine on the thread that
// released the GIL in BeamPlan::run. An exception (MemoryError, say) is kept
// for run() to raise, and stops the engine's run.
class NumpyFFT {
public:
    bool operator()(std::complex<double>* data, int64_t length, int64_t count, bool inverse) {
        py::gil_scoped_acquire gil;
        try {
            // A view onto the engine's buffer (a base object keeps pybind11
            // from copying it); the result is copied back into it.
            py::array_t<std::complex<double>> view({(py::ssize_t)count, (py::ssize_t)length},
                                                   data, py::none());
            py::object fft = py::module_::import("numpy.fft").attr(inverse ? "ifft" : "fft");
            auto result = py::array_t<std::complex<double>, py::array::c_style | py::array::forcecast>::ensure(
                fft(view, py::arg("axis") = -1));
            if (!result || result.size() != count * length)
                throw std::runtime_error("numpy.fft returned an array of another size");
            std::memcpy(data, result.data(), sizeof(std::complex<double>) * count * length);
            return true;
        } catch (...) {
            failure = std::current_exception();
            return false;
        }
    }
    std::exception_ptr failure;
};

// A stack of frames of rows x cols samples beamformed at `points` points.
class BeamPlan {
public:
    // X, Y, Z: the points; interp, beamformer, term, window: the engine's
    // names of the choices; normals: the cols x 3 normals column by column
    // (empty: none); weights: empty for all 1. `scalar` runs the reference
    // kernel.
    BeamPlan(int64_t rows, int64_t cols, Vector x_sensor, Vector y_sensor, Vector z_sensor,
             double c, Vector t, double fs, Vector X, Vector Y, Vector Z,
             const std::string& interp, const std::string& beamformer, const std::string& term,
             double fnumber, std::optional<Vector> normals, const std::string& window,
             std::optional<Vector> weights, bool envelope, double sample_offset,
             int32_t numCores, int64_t frames, bool scalar) {
        checkSize(rows, cols);
        BeamformInput in;
        const std::pair<const char*, const std::string*> choices[] = {
            {"interp", &interp}, {"beamformer", &beamformer}, {"term", &term}, {"window", &window}};
        for (const auto& choice : choices) {
            const std::string msg = setBeamformChoice(in.opts, choice.first, *choice.second);
            if (!msg.empty()) throw py::value_error(msg);
        }
        in.opts.fnumber = fnumber;
        in.opts.normals = normals ? normals->data() : nullptr;
        in.opts.weights = weights ? weights->data() : nullptr;
        in.opts.envelope = envelope;
        in.opts.sample_offset = sample_offset;
        in.opts.numCores = numCores;
        // Stand-ins for the samples and the image, which come with each run.
        double standIn = 0.0;
        in.sigMat = &standIn;
        in.image = &standIn;
        in.rows = (int32_t)rows;
        in.cols = (int32_t)cols;
        in.x_sensor = x_sensor.data();
        in.y_sensor = y_sensor.data();
        in.z_sensor = z_sensor.data();
        in.c = c;
        in.t = t.data();
        in.fs = fs;
        in.X = X.data();
        in.Y = Y.data();
        in.Z = Z.data();
        in.points = X.size();
        BeamformExtents ext;
        ext.sigMat = rows * cols;
        ext.x_sensor = x_sensor.size();
        ext.y_sensor = y_sensor.size();
        ext.z_sensor = z_sensor.size();
        ext.t = t.size();
        ext.X = X.size();
        ext.Y = Y.size();
        ext.Z = Z.size();
        ext.normals = normals ? normals->size() : 0;
        ext.weights = weights ? weights->size() : 0;
        ext.image = X.size();
        const std::string msg = checkBeamformInput(in, ext, 1);
        if (!msg.empty()) throw py::value_error(msg);
        rows_ = rows;
        cols_ = cols;
        points_ = X.size();
        const ReconKernel kernel = scalar ? ReconKernel::Scalar : ReconKernel::Best;
        py::gil_scoped_release release;
        plan_.reset(new BeamformPlan(in, kernel, std::max<int64_t>(frames, 1)));
    }

    // sig: (rows, cols, frames) float64 in Fortran order; out: (points,
    // frames) float64 in Fortran order, overwritten with the images.
    void run(const py::array& sig, py::array& out) const {
        if (!isEngineStack(sig, rows_, cols_))
            throw py::value_error("internal: the stack must be Fortran-ordered float64 of the plan's rows and columns");
        const py::ssize_t frames = sig.shape(2);
        if (!py::isinstance<py::array_t<double>>(out) || out.ndim() != 2 ||
            out.shape(0) != points_ || out.shape(1) != frames || !out.writeable() ||
            (out.flags() & py::detail::npy_api::NPY_ARRAY_F_CONTIGUOUS_) == 0)
            throw py::value_error("internal: the images must be a writeable Fortran-ordered float64 (points, frames) array");
        const double* samples = static_cast<const double*>(sig.data());
        double* images = static_cast<double*>(out.mutable_data());
        NumpyFFT fft;
        int64_t done = 0;
        {
            py::gil_scoped_release release;
            done = plan_->run(samples, frames, images, {}, std::ref(fft));
        }
        if (fft.failure) std::rethrow_exception(fft.failure);
        if (done < frames) throw std::bad_alloc();
    }

    int64_t batchFrames() const { return plan_->batchFrames(); }
    std::string kernelName() const { return plan_->kernelName(); }

private:
    std::unique_ptr<BeamformPlan> plan_;
    int64_t rows_ = 0, cols_ = 0, points_ = 0;
};
// The speed-of-sound search (recon_autofocus.h) on a Fortran-ordered
// (rows, cols) float64 sigMat whose sensor columns and times the Python
// layer has checked and cut to cols and rows.
py::dict searchSpeed(const py::array_t<double, py::array::f_style>& sig, Vector x, Vector y,
                   Vector z, Vector t, double fs, double c_min, double c_max, int term,
                   std::array<double, 4> roi, std::array<double, 4> field, int32_t search_n,
                   const std::string& method,
                   double resolution, const std::string& interp, int32_t numCores,
                   bool analytic) {
    constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
    if (sig.ndim() != 2 || sig.shape(0) > kMax || sig.shape(1) > kMax)
        throw py::value_error("sigMat must be a matrix with fewer than 2^31 rows and columns");
    AutofocusInput in;
    in.sigMat = sig.data();
    in.rows = (int32_t)sig.shape(0);
    in.cols = (int32_t)sig.shape(1);
    if (x.size() < in.cols || y.size() < in.cols || z.size() < in.cols || t.size() < in.rows)
        throw py::value_error("internal: sensor columns or times shorter than sigMat");
    in.x_sensor = x.data();
    in.y_sensor = y.data();
    in.z_sensor = z.data();
    in.t = t.data();
    in.fs = fs;
    in.c_min = c_min;
    in.c_max = c_max;
    in.term = static_cast<BeamTerm>(term);
    std::copy(roi.begin(), roi.end(), in.roi);
    std::copy(field.begin(), field.end(), in.field);
    in.search_n = search_n;
    in.resolution = resolution;
    in.numCores = numCores;
    in.analytic = analytic;
    std::string msg = setAutofocusMethod(in, method);
    BeamformOptions interpolation;
    if (msg.empty()) msg = setBeamformChoice(interpolation, "interp", interp);
    in.interp = interpolation.interp;
    if (msg.empty()) msg = checkAutofocusInput(in).message;
    if (!msg.empty()) throw py::value_error(msg);
    AutofocusResult r;
    NumpyFFT fft;
    {
        py::gil_scoped_release release;
        r = ::autofocus(in, std::ref(fft));
    }
    if (fft.failure) std::rethrow_exception(fft.failure);
    if (r.fft_failed) throw std::bad_alloc();
    py::dict d;
    d["c"] = r.c;
    d["candidates"] = py::array_t<double>(r.candidates.size(), r.candidates.data());
    d["scores"] = py::array_t<double>(r.scores.size(), r.scores.data());
    d["levels"] = py::array_t<int32_t>(r.levels.size(), r.levels.data());
    d["resolution"] = r.resolution;
    d["edge"] = r.edge;
    d["view_angle"] = r.view_angle;
    d["limited_view"] = r.limited_view;
    d["tail_score"] = r.tail_score;
    d["two_d"] = r.two_d;
    d["subapertures"] = r.subapertures;
    d["notes"] = r.notes;
    return d;
}

}  // namespace

PYBIND11_MODULE(_core, m) {
    m.doc() = "tofimage reconstruction engine (internal; use tofimage.reconstruct, tofimage.beamform and their plans)";
    py::class_<Plan>(m, "Plan")
        .def(py::init<int64_t, int64_t, int32_t, Vector, Vector, Vector, double, double, Vector,
                      double, double, int32_t, int64_t, bool>(),
             py::arg("rows"), py::arg("cols"), py::arg("n"), py::arg("x_sensor"),
             py::arg("y_sensor"), py::arg("z_sensor"), py::arg("c"), py::arg("image_select"),
             py::arg("t"), py::arg("fs"), py::arg("image_width"), py::arg("numCores"),
             py::arg("frames") = 1, py::arg("scalar") = false)
        .def("run", &Plan::run, py::arg("sig"), py::arg("out"))
        .def_property_readonly("batch_frames", &Plan::batchFrames)
        .def_property_readonly("kernel_name", &Plan::kernelName);
    py::class_<BeamPlan>(m, "BeamformPlan")
        .def(py::init<int64_t, int64_t, Vector, Vector, Vector, double, Vector, double, Vector,
                      Vector, Vector, const std::string&, const std::string&, const std::string&,
                      double, std::optional<Vector>, const std::string&, std::optional<Vector>,
                      bool, double, int32_t, int64_t, bool>(),
             py::arg("rows"), py::arg("cols"), py::arg("x_sensor"), py::arg("y_sensor"),
             py::arg("z_sensor"), py::arg("c"), py::arg("t"), py::arg("fs"), py::arg("X"),
             py::arg("Y"), py::arg("Z"), py::arg("interp"), py::arg("beamformer"),
             py::arg("term"), py::arg("fnumber"), py::arg("normals"), py::arg("window"),
             py::arg("weights"), py::arg("envelope"), py::arg("sample_offset"),
             py::arg("numCores"), py::arg("frames") = 1, py::arg("scalar") = false)
        .def("run", &BeamPlan::run, py::arg("sig"), py::arg("out"))
        .def_property_readonly("batch_frames", &BeamPlan::batchFrames)
        .def_property_readonly("kernel_name", &BeamPlan::kernelName);
    m.def("autofocus", &searchSpeed, py::arg("sig"), py::arg("x"), py::arg("y"), py::arg("z"),
          py::arg("t"), py::arg("fs"), py::arg("c_min"), py::arg("c_max"), py::arg("term"),
          py::arg("roi"), py::arg("field"), py::arg("search_n"), py::arg("method"),
          py::arg("resolution"),
          py::arg("interp"), py::arg("numCores"), py::arg("analytic"));
    m.def("pixel_coordinates", [](double n, double image_width) {
        const std::string problem = checkGridSize(n);
        if (!problem.empty()) throw py::value_error(problem);
        Vector x((int32_t)n), y((int32_t)n);
        reconPixelCoordinates((int32_t)n, image_width, x.mutable_data(), y.mutable_data());
        return py::make_tuple(x, y);
    }, py::arg("n"), py::arg("image_width"), "tofimage's pixel centres: x by column, y by row.");
    m.def("image_field", [](int32_t n, double image_width) {
        const std::string problem = checkGridSize(n);
        if (!problem.empty()) throw py::value_error(problem);
        std::array<double, 4> roi;
        reconImageField(n, image_width, roi.data());
        return roi;
    }, py::arg("n"), py::arg("image_width"), "[x_min, x_max, y_min, y_max] the grid's pixels cover.");
    m.def("count",
          [](const std::string& name, double value, bool nanIsError) {
              if (nanIsError && std::isnan(value))
                  throw py::value_error(message(ReconMsg::NaNCount, {name.c_str()}));
              return reconCount(value);
          },
          py::arg("name"), py::arg("value"), py::arg("nan_is_error") = true,
          "A count given as a number (n, numCores), as every host reads it: truncated toward "
          "zero and saturated to 32 bits. NaN is a ValueError, or 0 without nan_is_error.");
    m.def("message",
          [](const std::string& id, const std::vector<std::string>& args) {
              std::vector<const char*> texts;
              for (const std::string& a : args) texts.push_back(a.c_str());
              for (std::size_t k = 0; k < std::size(kReconMessages); ++k)
                  if (id == kReconMessages[k].id) {
                      char out[512];
                      formatMessage(out, sizeof out, (ReconMsg)k, texts.data(), texts.size());
                      return std::string(out);
                  }
              throw py::key_error(id);
          },
          py::arg("id"), py::arg("args") = std::vector<std::string>(),
          "The engine's message `id` (src/recon_messages.h), its placeholders filled by args.");
    m.def("kernel_name", [] { return std::string(reconKernelName(ReconKernel::Best)); },
          "Instruction set the engine's vector kernel uses on this CPU, or 'scalar'.");
}

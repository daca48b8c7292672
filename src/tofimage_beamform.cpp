// MATLAB / GNU Octave entry point of tofimage_beamform, the general
// beamformer of recon_beamform.h at any points:
//
//   img = tofimage_beamform(sigMat, x_sensor, y_sensor, z_sensor, c, t, fs,
//                           X, Y, Z, Name, Value, ...)
//
// X, Y and Z hold the points (arrays of one size, any shape); img has their
// size, with the frames of sigMat (samples x sensors x frames) as one more
// trailing dimension. The options fill one BeamformOptions; the names of
// their choices are the engine's (setBeamformChoice), and every value is
// checked by checkBeamformInput. This file checks only what needs the
// mxArrays: counts, classes, storage, shapes.
//
// Stacks of double, single and int16 run as in tofimage_frames
// (mex_stack.h): converted a batch at a time, with a progress line, Ctrl-C
// between batches and out-of-memory errors. The envelope's Fourier
// transforms are the host's own fft and ifft, called through
// mexCallMATLABWithTrap, so that a failure there returns here and becomes
// this function's error. Like tofimage, the module locks itself into the
// host at its first call (see tofimage.cpp for why).
#include "mex.h"

#include "mex_fft.h"
#include "mex_gateway.h"
#include "mex_stack.h"
#include "recon_beamform.h"

#include <cctype>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <new>
#include <string>

using namespace tofimage_mex;

namespace {

const char kName[] = "tofimage_beamform";

constexpr int kArgs = 10;
constexpr mwSize kMaxDims = 64;  // of the points' arrays, with the frames
const char* const kArgName[kArgs] = {"sigMat", "x_sensor", "y_sensor", "z_sensor", "c",
                                     "t",      "fs",       "X",        "Y",        "Z"};

enum Option { kInterp, kBeamformer, kTerm, kFNumber, kNormals, kWindow, kWeights, kEnvelope,
              kSampleOffset, kNumCores, kProgress, kOptions };
const char* const kOptionName[kOptions] = {"Interp",  "Beamformer", "Term",         "FNumber",
                                           "Normals", "Window",     "Weights",      "Envelope",
                                           "SampleOffset", "NumCores", "Progress"};

// The arguments before the options: storage, shapes. Returns false and
// fills msg on the first fault.
bool checkArguments(const mxArray* prhs[], char* msg) {
    for (int a = 0; a < kArgs; ++a) {
        if (mxIsSparse(prhs[a]))
            return !takeMessage(message(ReconMsg::Sparse, {kArgName[a]}), msg);
        if (mxIsComplex(prhs[a]))
            return !takeMessage(message(ReconMsg::Complex, {kArgName[a]}), msg);
    }
    const mxArray* sigMat = prhs[0];
    if (mxGetNumberOfDimensions(sigMat) > 3)
        return !takeMessage(messageText(ReconMsg::StackDims), msg);
    if (takeMessage(checkDims(sigMat), msg)) return false;
    const mwSize* dims = mxGetDimensions(sigMat);
    if ((uint64_t)mxGetNumberOfElements(prhs[5]) != (uint64_t)dims[0])
        return !takeMessage(messageText(ReconMsg::BeamTimeCount), msg);
    for (int a = 1; a <= 3; ++a)
        if ((uint64_t)mxGetNumberOfElements(prhs[a]) != (uint64_t)dims[1])
            return !takeMessage(message(ReconMsg::BeamSensorCount, {kArgName[a]}), msg);
    for (int a : {4, 6})
        if (mxGetNumberOfElements(prhs[a]) != 1)
            return !takeMessage(message(ReconMsg::NotScalar, {kArgName[a]}), msg);
    const mwSize nd = mxGetNumberOfDimensions(prhs[7]);
    for (int a = 8; a <= 9; ++a) {
        bool same = mxGetNumberOfDimensions(prhs[a]) == nd;
        for (mwSize k = 0; same && k < nd; ++k)
            same = mxGetDimensions(prhs[a])[k] == mxGetDimensions(prhs[7])[k];
        if (!same) return !takeMessage(messageText(ReconMsg::PointsSize), msg);
    }
    if (nd >= kMaxDims) return !takeMessage(messageText(ReconMsg::PointsDims), msg);
    return true;
}

// A real, full, numeric scalar.
bool isRealScalar(const mxArray* v) {
    return mxIsNumeric(v) && !mxIsComplex(v) && !mxIsSparse(v) && mxGetNumberOfElements(v) == 1;
}

// A real, full double array of `elements` elements with `columns` columns
// (any, when negative), or [] (then *data stays null).
bool readDoubles(const mxArray* v, int64_t elements, int64_t columns, const double** data) {
    if (mxIsEmpty(v) && mxIsDouble(v)) return true;
    if (!mxIsDouble(v) || mxIsComplex(v) || mxIsSparse(v) ||
        (int64_t)mxGetNumberOfElements(v) != elements ||
        (columns >= 0 && (mxGetNumberOfDimensions(v) != 2 || (int64_t)mxGetN(v) != columns)))
        return false;
    *data = mxGetPr(v);
    return true;
}

// A choice of the engine's, given as text (or, for 'Term', as a number).
bool readChoice(Option option, const mxArray* v, BeamformOptions& opts, char* msg) {
    char value[64] = "";
    if (option == kTerm && isRealScalar(v)) {
        std::snprintf(value, sizeof value, "%.17g", mxGetScalar(v));
    } else if (mxIsChar(v) && mxGetM(v) <= 1) {
        mxGetString(v, value, sizeof value);  // a longer text is no name either
    } else {
        formatMessage(msg, kMsgSize, ReconMsg::OptionText,
                      {kOptionName[option], option == kTerm ? " or 1, 2 or 3" : ""});
        return false;
    }
    char name[16] = "";
    for (int k = 0; kOptionName[option][k] != '\0' && k < 15; ++k)
        name[k] = (char)std::tolower((unsigned char)kOptionName[option][k]);
    return !takeMessage(setBeamformChoice(opts, name, value), msg);
}

// The options after Z: name-value pairs, names in any case, the last of a
// repeated name counting. Returns false and fills msg on the first fault.
bool readOptions(int nrhs, const mxArray* prhs[], int32_t cols, BeamformOptions& opts,
                 bool* progress, char* msg) {
    for (int a = kArgs; a < nrhs; a += 2) {
        char name[32] = "";
        int option = 0;
        if (mxIsChar(prhs[a]) && mxGetString(prhs[a], name, sizeof name) == 0)
            while (option < kOptions && !equalsIgnoringCase(name, kOptionName[option])) ++option;
        else
            option = kOptions;
        if (option == kOptions) {
            formatMessage(msg, kMsgSize, ReconMsg::BeamOptionName, {MessageNumber(a + 1)});
            return false;
        }
        if (a + 1 >= nrhs) {
            formatMessage(msg, kMsgSize, ReconMsg::OptionNoValue, {kOptionName[option]});
            return false;
        }
        const mxArray* v = prhs[a + 1];
        bool ok = true;
        const char* must = "";
        switch ((Option)option) {
            case kInterp:
            case kBeamformer:
            case kTerm:
            case kWindow:
                if (!readChoice((Option)option, v, opts, msg)) return false;
                break;
            case kFNumber:
            case kSampleOffset:
            case kNumCores:
                ok = isRealScalar(v);
                must = "a real number";
                if (!ok) break;
                if (option == kFNumber) opts.fnumber = mxGetScalar(v);
                if (option == kSampleOffset) opts.sample_offset = mxGetScalar(v);
                if (option == kNumCores) {
                    // As tofimage's numCores: NaN and anything below 1 ask
                    // for the runtime's default team.
                    opts.numCores = reconCount(mxGetScalar(v));
                }
                break;
            case kNormals:
                opts.normals = nullptr;
                ok = readDoubles(v, 3 * (int64_t)cols, 3, &opts.normals);
                must = "a sensors x 3 double matrix (one row per sensor), or []";
                break;
            case kWeights:
                opts.weights = nullptr;
                ok = readDoubles(v, cols, -1, &opts.weights);
                must = "a double vector with one element per sensor, or []";
                break;
            case kEnvelope:
                ok = readSwitch(v, &opts.envelope);
                must = "true or false";
                break;
            case kProgress:
                ok = readSwitch(v, progress);
                must = "true or false";
                break;
            default:
                break;
        }
        if (!ok) {
            formatMessage(msg, kMsgSize, ReconMsg::OptionValue, {kOptionName[option], must});
            return false;
        }
    }
    return true;
}

// Forms the images of the checked request into in.image. A failure (memory
// that ran out, Ctrl-C, a failed fft) fills `error`, which the caller
// raises after every object here is gone.
void beamform(const BeamformInput& in, const mxArray* sigMat, int64_t frames, Monitor& monitor,
              StackError& error) {
    if (in.points == 0 || frames == 0) return;
    const int64_t frameElements = (int64_t)in.rows * in.cols;
    const char* step = "the beamforming plan";
    int64_t done = 0;
    char fftError[kMsgSize] = "";
    try {
        const BeamformPlan plan(in, ReconKernel::Best, frames);
        HostFft host;
        BeamformFFT fft;
        if (in.opts.envelope) fft = std::ref(host);
        done = runStack(sigMat, frameElements, frames, plan.batchFrames(), monitor, &step,
                        [&](const double* samples, int64_t first, int64_t count,
                            const ReconProgress& progress) {
                            return plan.run(samples, count, in.image + first * in.points,
                                            progress, fft);
                        });
        std::snprintf(fftError, sizeof fftError, "%s", host.error());
        if (host.interrupted()) monitor.interrupt();
    } catch (const std::bad_alloc&) {
        char request[120];
        std::snprintf(request, sizeof request, "%lld frames of %d x %d samples, %lld points",
                      (long long)frames, in.rows, in.cols, (long long)in.points);
        error.outOfMemory(kName, step, request);
        return;
    }
    if (error.interrupted(kName, monitor, done, frames)) return;
    if (done < frames) {
        // The plan stops early only when a transform failed.
        error.set(kName, "fft");
        namedMessage(error.msg, kName, ReconMsg::FftFailed,
                     {fftError[0] != '\0' ? fftError : "no message"});
        return;
    }
    monitor.finish();
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    const Monitor::Clock::time_point start = Monitor::Clock::now();
    if (!mexIsLocked()) mexLock();
    if (nrhs < kArgs) mexErrMsgTxt(messageText(ReconMsg::BeamformInputs));
    if (nlhs > 1) mexErrMsgTxt(messageText(ReconMsg::BeamformOutputs));
    if (!stackClassOk(prhs[0])) mexErrMsgTxt(messageText(ReconMsg::BeamformTypes));
    for (int a = 1; a < kArgs; ++a)
        if (!mxIsDouble(prhs[a])) mexErrMsgTxt(messageText(ReconMsg::BeamformTypes));

    char msg[kMsgSize] = "";
    if (!checkArguments(prhs, msg)) mexErrMsgTxt(msg);
    const mxArray* sigMat = prhs[0];
    const mwSize* sigDims = mxGetDimensions(sigMat);
    const bool stack = mxGetNumberOfDimensions(sigMat) == 3;
    const int64_t frames = stack ? (int64_t)sigDims[2] : 1;

    BeamformInput in;
    in.rows = (int32_t)sigDims[0];
    in.cols = (int32_t)sigDims[1];
    bool progress = true;
    if (!readOptions(nrhs, prhs, in.cols, in.opts, &progress, msg)) mexErrMsgTxt(msg);
    in.x_sensor = mxGetPr(prhs[1]);
    in.y_sensor = mxGetPr(prhs[2]);
    in.z_sensor = mxGetPr(prhs[3]);
    in.c = mxGetScalar(prhs[4]);
    in.t = mxGetPr(prhs[5]);
    in.fs = mxGetScalar(prhs[6]);
    in.X = mxGetPr(prhs[7]);
    in.Y = mxGetPr(prhs[8]);
    in.Z = mxGetPr(prhs[9]);
    in.points = (int64_t)mxGetNumberOfElements(prhs[7]);

    BeamformExtents ext;
    ext.sigMat = (int64_t)mxGetNumberOfElements(sigMat);
    ext.x_sensor = ext.y_sensor = ext.z_sensor = in.cols;
    ext.t = in.rows;
    ext.X = ext.Y = ext.Z = in.points;
    ext.normals = in.opts.normals != nullptr ? 3 * (int64_t)in.cols : 0;
    ext.weights = in.opts.weights != nullptr ? in.cols : 0;
    ext.image = imageElements(in.points, frames);
    // Only a double stack is read in place; another is checked by its
    // element count, with this stand-in for its data, as is the image that
    // does not exist yet.
    double standIn = 0.0;
    in.sigMat = mxIsDouble(sigMat) ? mxGetPr(sigMat) : &standIn;
    in.image = &standIn;
    if (takeMessage(checkBeamformInput(in, ext, frames), msg)) mexErrMsgTxt(msg);

    // size(X), with the frames of a stack after it.
    const mwSize nd = mxGetNumberOfDimensions(prhs[7]);
    mwSize dims[kMaxDims];
    for (mwSize k = 0; k < nd; ++k) dims[k] = mxGetDimensions(prhs[7])[k];
    if (stack) dims[nd] = (mwSize)frames;
    plhs[0] = mxCreateNumericArray(stack ? nd + 1 : nd, dims, mxDOUBLE_CLASS, mxREAL);
    in.image = mxGetPr(plhs[0]);
    Monitor monitor(kName, progress, frames, start);
    StackError error;
    beamform(in, sigMat, frames, monitor, error);
    if (error.raised()) mexErrMsgIdAndTxt(error.id, error.msg);
}

// MEX gateway of the speed-of-sound search (recon_autofocus.h), called by
// tofimage_autofocus.m once it has checked the arguments' types and shapes:
//
//   found = tofimage_autofocus_search(sigMat, x_sensor, y_sensor, z_sensor, t, fs,
//                                     c_range, image_select, n, image_width, roi,
//                                     search_n, method, resolution, interp, numCores,
//                                     analytic)
//
// sigMat is a real double matrix; the sensor columns and t have at least
// its columns and rows of elements; roi is [] (the image field of n and
// image_width) or [x_min x_max y_min y_max]; resolution 0 is the default;
// analytic true scores the analytic signal, made with the host's fft
// (mex_fft.h). found is a struct: c, candidates, scores, levels (rows),
// resolution, edge, view_angle, limited_view, tail_score, two_d,
// subapertures, notes (a cell row), roi (the region searched), and x, y, the pixel centres of the
// n x n image (x a row, y a column).
//
// The values are the engine's to check (checkGridSize, checkAutofocusInput):
// its message is raised with the identifier tofimage_autofocus:<the
// argument at fault>.
//
// It also answers tofimage_grid.m, with the engine's grid and its rule on n:
//
//   [x, y, problem] = tofimage_autofocus_search('grid', n, image_width)
//
// problem is '' or the message of an n that is no grid's size (x and y
// are then empty).
//
// mexErrMsgTxt does not return, and in MATLAB neither does an mx function
// that runs out of memory: no object with a destructor may be alive when
// either is called. So every output array is made first, from sizes known
// before the search (the most candidates it can try); search() then runs
// the engine with its C++ objects, writes into those arrays and leaves
// texts and messages in plain buffers; only after it has returned are the
// texts made into strings and errors raised.
#include "mex.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "mex_fft.h"
#include "recon_autofocus.h"
#include "recon_exact.h"

using namespace tofimage_mex;

namespace {

constexpr int kInputs = 17;
constexpr int kMaxNotes = 4;
constexpr size_t kTextSize = 512;

bool realDouble(const mxArray* a) { return mxIsDouble(a) && !mxIsComplex(a) && !mxIsSparse(a); }

// The shapes and classes the request relies on; the values are the
// engine's to check.
const char* shapeProblem(int nrhs, const mxArray* prhs[]) {
    if (nrhs != kInputs) return "tofimage_autofocus_search: 17 inputs expected";
    for (int k = 0; k < kInputs; ++k)
        if (k != 12 && k != 14 && k != 16 && !realDouble(prhs[k]))
            return "tofimage_autofocus_search: numeric inputs must be real double";
    if (!mxIsChar(prhs[12]) || !mxIsChar(prhs[14]))
        return "tofimage_autofocus_search: method and interp must be text";
    if (!mxIsLogical(prhs[16]) || mxGetNumberOfElements(prhs[16]) != 1)
        return "tofimage_autofocus_search: analytic must be a logical scalar";
    const mxArray* sig = prhs[0];
    if (mxGetNumberOfDimensions(sig) != 2 || mxGetM(sig) > 2147483647u || mxGetN(sig) > 2147483647u)
        return "tofimage_autofocus_search: sigMat must be a matrix";
    for (int k = 1; k <= 3; ++k)
        if (mxGetNumberOfElements(prhs[k]) < mxGetN(sig))
            return "tofimage_autofocus_search: a sensor coordinate is missing";
    if (mxGetNumberOfElements(prhs[4]) < mxGetM(sig)) return "tofimage_autofocus_search: a time is missing";
    if (mxGetNumberOfElements(prhs[6]) != 2) return "tofimage_autofocus_search: c_range must hold 2 values";
    for (int k : {5, 7, 8, 9, 11, 13, 15})
        if (mxGetNumberOfElements(prhs[k]) != 1) return "tofimage_autofocus_search: scalar expected";
    const size_t roi = mxGetNumberOfElements(prhs[10]);
    if (roi != 0 && roi != 4) return "tofimage_autofocus_search: roi must be [] or 4 values";
    const double m = mxGetScalar(prhs[11]);
    if (!(m >= 16 && m <= kReconMaxN))
        return "tofimage_autofocus_search: search_n must lie in 16 .. 46340";
    return nullptr;
}

// The request of the arguments, checked by the engine: the argument at
// fault and the message, both empty for a good request.
AutofocusProblem readRequest(const mxArray* prhs[], AutofocusInput& in) {
    const std::string grid = checkGridSize(mxGetScalar(prhs[8]));
    if (!grid.empty()) return {"n", grid};
    const mxArray* sig = prhs[0];
    in.rows = (int32_t)mxGetM(sig);
    in.cols = (int32_t)mxGetN(sig);
    in.sigMat = mxGetPr(sig);
    in.x_sensor = mxGetPr(prhs[1]);
    in.y_sensor = mxGetPr(prhs[2]);
    in.z_sensor = mxGetPr(prhs[3]);
    in.t = mxGetPr(prhs[4]);
    in.fs = mxGetScalar(prhs[5]);
    in.c_min = mxGetPr(prhs[6])[0];
    in.c_max = mxGetPr(prhs[6])[1];
    in.term = static_cast<BeamTerm>(reconTerm(mxGetScalar(prhs[7])));
    reconImageField((int32_t)mxGetScalar(prhs[8]), mxGetScalar(prhs[9]), in.field);
    if (mxGetNumberOfElements(prhs[10]) == 4)
        std::memcpy(in.roi, mxGetPr(prhs[10]), 4 * sizeof(double));
    else
        std::memcpy(in.roi, in.field, sizeof in.roi);
    in.search_n = (int32_t)mxGetScalar(prhs[11]);
    char name[32] = "";
    mxGetString(prhs[12], name, sizeof name);
    in.resolution = mxGetScalar(prhs[13]);
    char interp[32] = "";
    mxGetString(prhs[14], interp, sizeof interp);
    // numCores as tofimage takes it: any real; what is not a whole count
    // in int32's range means the runtime's default.
    const double cores = mxGetScalar(prhs[15]);
    in.numCores = cores >= 1 && cores <= 2147483647.0 ? (int32_t)cores : 0;
    in.analytic = mxGetScalar(prhs[16]) != 0.0;

    std::string problem = setAutofocusMethod(in, name);
    if (!problem.empty()) return {"method", problem};
    BeamformOptions choice;
    problem = setBeamformChoice(choice, "interp", interp);
    if (!problem.empty()) return {"interp", problem};
    in.interp = choice.interp;
    return checkAutofocusInput(in);
}

// What the search found besides its candidates: plain values and texts.
struct Found {
    double c = 0.0, resolution = 0.0, view_angle = 0.0, tail_score = 0.0;
    bool edge = false, limited_view = false, two_d = false;
    size_t count = 0;  // candidates tried
    char subapertures[kTextSize] = "";
    int notes = 0;
    char note[kMaxNotes][kTextSize] = {};
    char id[64] = "";  // the error's identifier, when it failed
    char msg[kTextSize] = "";
};

// Runs the search, writes its candidates, scores and levels into the
// arrays given (each at least autofocusMaxCandidates long) and the rest
// into found. A failure leaves found.id set.
void search(const AutofocusInput& in, double* candidates, double* scores, double* levels,
            Found& found) {
    try {
        HostFft fft;
        const AutofocusResult r = autofocus(in, std::ref(fft));
        if (r.fft_failed) {
            std::snprintf(found.id, sizeof found.id, "tofimage_autofocus:%s",
                          fft.interrupted() ? "interrupted" : "fft");
            std::snprintf(found.msg, sizeof found.msg, "tofimage_autofocus: %s",
                          fft.interrupted() ? "interrupted (Ctrl-C)"
                          : fft.error()[0] != '\0' ? fft.error() : "fft failed");
            return;
        }
        found.count = r.candidates.size();
        for (size_t k = 0; k < found.count; ++k) {
            candidates[k] = r.candidates[k];
            scores[k] = r.scores[k];
            levels[k] = r.levels[k];
        }
        found.c = r.c;
        found.resolution = r.resolution;
        found.view_angle = r.view_angle;
        found.edge = r.edge;
        found.limited_view = r.limited_view;
        found.tail_score = r.tail_score;
        found.two_d = r.two_d;
        std::snprintf(found.subapertures, kTextSize, "%s", r.subapertures.c_str());
        for (const std::string& note : r.notes)
            if (found.notes < kMaxNotes) std::snprintf(found.note[found.notes++], kTextSize, "%s", note.c_str());
    } catch (const std::bad_alloc&) {
        std::snprintf(found.id, sizeof found.id, "tofimage_autofocus:search");
        std::snprintf(found.msg, sizeof found.msg, "tofimage_autofocus: out of memory");
    }
}

// A 1 x count row (count x 1 with column set) of doubles.
mxArray* doubles(size_t count, bool column = false) {
    return column ? mxCreateDoubleMatrix(count, 1, mxREAL) : mxCreateDoubleMatrix(1, count, mxREAL);
}

// [x, y, problem] = tofimage_autofocus_search('grid', n, image_width).
void grid(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (nrhs != 3 || !realDouble(prhs[1]) || !realDouble(prhs[2]) ||
        mxGetNumberOfElements(prhs[1]) != 1 || mxGetNumberOfElements(prhs[2]) != 1)
        mexErrMsgTxt("tofimage_autofocus_search: 'grid' takes n and image_width, real scalars");
    if (nlhs > 3) mexErrMsgTxt("tofimage_autofocus_search: 'grid' has three outputs");
    const double n = mxGetScalar(prhs[1]);
    char problem[kTextSize] = "";
    {
        const std::string m = checkGridSize(n);
        std::snprintf(problem, sizeof problem, "%s", m.c_str());
    }
    const size_t count = problem[0] == '\0' ? (size_t)n : 0;
    plhs[0] = doubles(count);
    mxArray* y = doubles(count, true);
    if (count > 0) reconPixelCoordinates((int32_t)count, mxGetScalar(prhs[2]), mxGetPr(plhs[0]), mxGetPr(y));
    if (nlhs > 1) plhs[1] = y;
    if (nlhs > 2) plhs[2] = mxCreateString(problem);
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (nrhs >= 1 && mxIsChar(prhs[0])) return grid(nlhs, plhs, nrhs, prhs);
    if (nlhs > 1) mexErrMsgTxt("tofimage_autofocus_search: one output");
    const char* problem = shapeProblem(nrhs, prhs);
    if (problem != nullptr) mexErrMsgTxt(problem);
    AutofocusInput in;  // plain values and pointers only
    char id[kTextSize] = "", msg[kTextSize] = "";
    {
        const AutofocusProblem p = readRequest(prhs, in);
        std::snprintf(id, sizeof id, "tofimage_autofocus:%s", p.argument.c_str());
        std::snprintf(msg, sizeof msg, "%s", p.message.c_str());
    }
    if (msg[0] != '\0') mexErrMsgIdAndTxt(id, "%s", msg);

    const size_t most = (size_t)autofocusMaxCandidates(in);
    const int32_t n = (int32_t)mxGetScalar(prhs[8]);
    mxArray* candidates = doubles(most);
    mxArray* scores = doubles(most);
    mxArray* levels = doubles(most);
    mxArray* x = doubles((size_t)n);
    mxArray* y = doubles((size_t)n, true);
    reconPixelCoordinates(n, mxGetScalar(prhs[9]), mxGetPr(x), mxGetPr(y));
    mxArray* roi = doubles(4);
    std::memcpy(mxGetPr(roi), in.roi, sizeof in.roi);

    Found found;
    search(in, mxGetPr(candidates), mxGetPr(scores), mxGetPr(levels), found);
    if (found.id[0] != '\0') mexErrMsgIdAndTxt(found.id, "%s", found.msg);

    // The rows keep their memory; only the tried candidates are shown.
    mxSetN(candidates, found.count);
    mxSetN(scores, found.count);
    mxSetN(levels, found.count);
    const char* fields[] = {"c", "candidates", "scores", "levels", "resolution", "edge",
                            "view_angle", "limited_view", "tail_score", "two_d",
                            "subapertures", "notes", "x", "y", "roi"};
    mxArray* s = mxCreateStructMatrix(1, 1, 15, fields);
    mxSetField(s, 0, "c", mxCreateDoubleScalar(found.c));
    mxSetField(s, 0, "candidates", candidates);
    mxSetField(s, 0, "scores", scores);
    mxSetField(s, 0, "levels", levels);
    mxSetField(s, 0, "resolution", mxCreateDoubleScalar(found.resolution));
    mxSetField(s, 0, "edge", mxCreateLogicalScalar(found.edge));
    mxSetField(s, 0, "view_angle", mxCreateDoubleScalar(found.view_angle));
    mxSetField(s, 0, "limited_view", mxCreateLogicalScalar(found.limited_view));
    mxSetField(s, 0, "tail_score", mxCreateDoubleScalar(found.tail_score));
    mxSetField(s, 0, "two_d", mxCreateLogicalScalar(found.two_d));
    mxSetField(s, 0, "subapertures", mxCreateString(found.subapertures));
    mxArray* notes = mxCreateCellMatrix(1, (size_t)found.notes);
    for (int k = 0; k < found.notes; ++k) mxSetCell(notes, (size_t)k, mxCreateString(found.note[k]));
    mxSetField(s, 0, "notes", notes);
    mxSetField(s, 0, "x", x);
    mxSetField(s, 0, "y", y);
    mxSetField(s, 0, "roi", roi);
    plhs[0] = s;
}

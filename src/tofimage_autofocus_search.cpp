// MEX gateway of the speed-of-sound search (recon_autofocus.h), called by
// tofimage_autofocus.m once it has checked the arguments users see:
//
//   found = tofimage_autofocus_search(sigMat, x_sensor, y_sensor, z_sensor, t, fs,
//                                     c_range, image_select, n, image_width, roi,
//                                     search_n, method, resolution, interp, numCores,
//                                     quadrature)
//
// sigMat is a real double matrix; the sensor columns and t have at least
// its columns and rows of elements; roi is [] (the image field of n and
// image_width) or [x_min x_max y_min y_max]; resolution 0 is the default;
// quadrature is [] or the Hilbert transform of sigMat's columns (its size).
// found is a struct: c, candidates, scores, levels (rows), resolution, edge,
// view_angle, limited_view, subapertures, notes (a cell row), roi (the
// region searched), and x, y, the pixel centres of the n x n image (x a
// row, y a column).
//
// mexErrMsgTxt does not return: every object with a destructor lives in
// search(), which leaves its message in a plain buffer for the caller.
#include "mex.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "recon_autofocus.h"
#include "recon_exact.h"

namespace {

constexpr int kInputs = 17;
constexpr size_t kMsgSize = 512;

bool realDouble(const mxArray* a) { return mxIsDouble(a) && !mxIsComplex(a) && !mxIsSparse(a); }

mxArray* row(const double* v, size_t count) {
    mxArray* a = mxCreateDoubleMatrix(1, count, mxREAL);
    if (count > 0) std::memcpy(mxGetPr(a), v, count * sizeof(double));
    return a;
}

// The search and its result, or false with the message in msg.
bool search(const mxArray* prhs[], mxArray** out, char* msg) {
    const mxArray* sig = prhs[0];
    AutofocusInput in;
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
    const int32_t n = (int32_t)mxGetScalar(prhs[8]);
    const double image_width = mxGetScalar(prhs[9]);
    if (mxGetNumberOfElements(prhs[10]) == 4)
        std::memcpy(in.roi, mxGetPr(prhs[10]), 4 * sizeof(double));
    else
        reconImageField(n, image_width, in.roi);
    in.search_n = (int32_t)mxGetScalar(prhs[11]);
    char name[32] = "";
    mxGetString(prhs[12], name, sizeof name);
    in.resolution = mxGetScalar(prhs[13]);
    char interp[32] = "";
    mxGetString(prhs[14], interp, sizeof interp);
    // numCores as tofimage takes it: any real; what is not a whole count
    // in int32's range means the runtime's default.
    const double cores = mxGetScalar(prhs[15]);
    if (!mxIsEmpty(prhs[16])) in.quadrature = mxGetPr(prhs[16]);
    in.numCores = cores >= 1 && cores <= 2147483647.0 ? (int32_t)cores : 0;

    std::string problem = setAutofocusMethod(in, name);
    BeamformOptions choice;
    if (problem.empty()) problem = setBeamformChoice(choice, "interp", interp);
    in.interp = choice.interp;
    if (problem.empty()) problem = checkAutofocusInput(in);
    if (!problem.empty()) {
        std::snprintf(msg, kMsgSize, "%s", problem.c_str());
        return false;
    }
    AutofocusResult r;
    std::vector<double> x(n), y(n);
    try {
        r = autofocus(in);
    } catch (const std::bad_alloc&) {
        std::snprintf(msg, kMsgSize, "tofimage_autofocus: out of memory");
        return false;
    }
    reconPixelCoordinates(n, image_width, x.data(), y.data());

    const char* fields[] = {"c", "candidates", "scores", "levels", "resolution", "edge",
                            "view_angle", "limited_view", "subapertures", "notes", "x", "y", "roi"};
    mxArray* s = mxCreateStructMatrix(1, 1, 13, fields);
    mxSetField(s, 0, "c", mxCreateDoubleScalar(r.c));
    mxSetField(s, 0, "candidates", row(r.candidates.data(), r.candidates.size()));
    mxSetField(s, 0, "scores", row(r.scores.data(), r.scores.size()));
    const std::vector<double> levels(r.levels.begin(), r.levels.end());
    mxSetField(s, 0, "levels", row(levels.data(), levels.size()));
    mxSetField(s, 0, "resolution", mxCreateDoubleScalar(r.resolution));
    mxSetField(s, 0, "edge", mxCreateLogicalScalar(r.edge));
    mxSetField(s, 0, "view_angle", mxCreateDoubleScalar(r.view_angle));
    mxSetField(s, 0, "limited_view", mxCreateLogicalScalar(r.limited_view));
    mxSetField(s, 0, "subapertures", mxCreateString(r.subapertures.c_str()));
    mxArray* notes = mxCreateCellMatrix(1, r.notes.size());
    for (size_t k = 0; k < r.notes.size(); ++k) mxSetCell(notes, k, mxCreateString(r.notes[k].c_str()));
    mxSetField(s, 0, "notes", notes);
    mxSetField(s, 0, "x", row(x.data(), x.size()));
    mxArray* column = mxCreateDoubleMatrix(n, 1, mxREAL);
    if (n > 0) std::memcpy(mxGetPr(column), y.data(), (size_t)n * sizeof(double));
    mxSetField(s, 0, "y", column);
    mxSetField(s, 0, "roi", row(in.roi, 4));
    *out = s;
    return true;
}

// The shapes and classes search() relies on; the values are the engine's
// to check.
const char* shapeProblem(int nrhs, const mxArray* prhs[]) {
    if (nrhs != kInputs) return "tofimage_autofocus_search: 17 inputs expected";
    for (int k = 0; k < kInputs; ++k)
        if (k != 12 && k != 14 && !realDouble(prhs[k]))
            return "tofimage_autofocus_search: numeric inputs must be real double";
    if (!mxIsChar(prhs[12]) || !mxIsChar(prhs[14]))
        return "tofimage_autofocus_search: method and interp must be text";
    const mxArray* sig = prhs[0];
    if (mxGetNumberOfDimensions(sig) != 2 || mxGetM(sig) > 2147483647u || mxGetN(sig) > 2147483647u)
        return "tofimage_autofocus_search: sigMat must be a matrix";
    for (int k = 1; k <= 3; ++k)
        if (mxGetNumberOfElements(prhs[k]) < mxGetN(sig))
            return "tofimage_autofocus_search: a sensor coordinate is missing";
    if (mxGetNumberOfElements(prhs[4]) < mxGetM(sig)) return "tofimage_autofocus_search: a time is missing";
    if (!mxIsEmpty(prhs[16]) && (mxGetM(prhs[16]) != mxGetM(sig) || mxGetN(prhs[16]) != mxGetN(sig)))
        return "tofimage_autofocus_search: quadrature must be [] or of sigMat's size";
    if (mxGetNumberOfElements(prhs[6]) != 2) return "tofimage_autofocus_search: c_range must hold 2 values";
    for (int k : {5, 7, 8, 9, 11, 13, 15})
        if (mxGetNumberOfElements(prhs[k]) != 1) return "tofimage_autofocus_search: scalar expected";
    const size_t roi = mxGetNumberOfElements(prhs[10]);
    if (roi != 0 && roi != 4) return "tofimage_autofocus_search: roi must be [] or 4 values";
    const double n = mxGetScalar(prhs[8]), m = mxGetScalar(prhs[11]);
    if (!(n >= 1 && n <= 46340) || !(m >= 16 && m <= 46340))
        return "tofimage_autofocus_search: n and search_n must lie in 1 .. 46340 and 16 .. 46340";
    return nullptr;
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (nlhs > 1) mexErrMsgTxt("tofimage_autofocus_search: one output");
    const char* problem = shapeProblem(nrhs, prhs);
    if (problem != nullptr) mexErrMsgTxt(problem);
    char msg[kMsgSize] = "";
    if (!search(prhs, &plhs[0], msg)) mexErrMsgIdAndTxt("tofimage_autofocus:search", "%s", msg);
}

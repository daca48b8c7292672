// Every message the engine, the MEX gateways and the Python binding raise,
// written once. docs/errors.md is generated from this table, and the MATLAB
// help texts' error lists are checked against it (tests/messages_table.cpp
// prints it, tests/messages_check.py writes and checks the documents).
//
// A text's placeholders, <name> and the like, are filled in order by
// formatMessage; the documentation shows them as they stand. The hosts of a
// message say which functions can raise it. A message with none is a limit
// the engine guards but every host rules out before it can arise.
//
// Nothing here allocates on the char-buffer path, so a gateway can format a
// message after memory ran out and with no destructor left to run.
#ifndef TOFIMAGE_RECON_MESSAGES_H
#define TOFIMAGE_RECON_MESSAGES_H

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

// The functions that raise a message.
enum ReconHost : unsigned {
    kTofimage = 1,        // MATLAB / Octave tofimage
    kTofimageFrames = 2,  // tofimage_frames
    kTofimageBeamform = 4,
    kPython = 8,          // the Python package (ValueError)
    kTofimageAutofocus = 16,
    kTofimageGrid = 32,
    kNoHost = 0,
};
constexpr unsigned kRecon = kTofimage | kTofimageFrames | kPython;
constexpr unsigned kStacks = kTofimageFrames | kTofimageBeamform;
constexpr unsigned kAutofocus = kTofimageAutofocus | kPython;

// X(identifier, hosts, text)
#define TOFIMAGE_MESSAGES(X)                                                                       \
    /* The fixed messages of the gateways, checked first and in this order. */                     \
    X(TofimageInputs, kTofimage,                                                                   \
      "Wrong number of input arguments for Recon = tofimage(sigMat, n,  x_sensor, y_sensor, "      \
      "z_sensor, c, image_select, t, fs, image_width, numCores)")                                  \
    X(TofimageOutputs, kTofimage,                                                                  \
      "Wrong number of output arguments for Recon = tofimage(sigMat, n,  x_sensor, y_sensor, "     \
      "z_sensor, c, image_select, t, fs, image_width, numCores )")                                 \
    X(TofimageTypes, kTofimage,                                                                    \
      "All input arguments must be double for fcn Recon = tofimage(...)")                          \
    X(FramesInputs, kTofimageFrames,                                                               \
      "Wrong number of input arguments for Recon = tofimage_frames(sigMat, n,  x_sensor, "         \
      "y_sensor, z_sensor, c, image_select, t, fs, image_width, numCores)")                        \
    X(FramesOutputs, kTofimageFrames,                                                              \
      "Wrong number of output arguments for Recon = tofimage_frames(sigMat, n,  x_sensor, "        \
      "y_sensor, z_sensor, c, image_select, t, fs, image_width, numCores )")                       \
    X(FramesTypes, kTofimageFrames,                                                                \
      "All input arguments must be double (sigMat may also be single or int16) for fcn "           \
      "Recon = tofimage_frames(...)")                                                              \
    X(BeamformInputs, kTofimageBeamform,                                                           \
      "Wrong number of input arguments for img = tofimage_beamform(sigMat, x_sensor, y_sensor, "   \
      "z_sensor, c, t, fs, X, Y, Z, Name, Value, ...)")                                            \
    X(BeamformOutputs, kTofimageBeamform,                                                          \
      "Wrong number of output arguments for img = tofimage_beamform(sigMat, x_sensor, y_sensor, "  \
      "z_sensor, c, t, fs, X, Y, Z, Name, Value, ...)")                                            \
    X(BeamformTypes, kTofimageBeamform,                                                            \
      "All input arguments before the options must be double (sigMat may also be single or "       \
      "int16) for fcn img = tofimage_beamform(...)")                                               \
    X(TimeRows, kRecon, "t must have the same number of elements as sigMat has rows")              \
    /* The arguments' storage and shapes. */                                                       \
    X(Sparse, kTofimage | kStacks, "<name> must be a full array, not sparse")                      \
    X(Complex, kTofimageBeamform | kPython, "<name> must be real, not complex")                    \
    X(Empty, kRecon, "<name> must not be empty")                                                   \
    X(NotScalar, kTofimageBeamform | kPython, "<name> must be a scalar")                           \
    X(NegativeDims, kPython, "sigMat must not have negative dimensions")                           \
    X(TooLarge, kTofimage | kStacks | kPython,                                                     \
      "sigMat is too large: its rows and columns must each number less than 2^31")                 \
    X(NaNCount, kRecon, "<name> must be a number, not NaN")                                        \
    X(StackDims, kStacks,                                                                          \
      "sigMat must have at most three dimensions (samples x sensors x frames)")                    \
    X(FirstFrameOnly, kTofimage,                                                                   \
      "sigMat has more than two dimensions; only its first frame, sigMat(:, :, 1), is used. "      \
      "tofimage_frames reconstructs every frame.")                                                 \
    X(BeamTimeCount, kTofimageBeamform, "t must have as many elements as sigMat has rows")         \
    X(BeamSensorCount, kTofimageBeamform | kPython,                                                \
      "<name> must have as many elements as sigMat has columns (sensors)")                         \
    X(PointsSize, kTofimageBeamform, "X, Y and Z must have the same size")                         \
    X(PointsDims, kTofimageBeamform, "X must have fewer than 64 dimensions")                       \
    /* Options given as name-value pairs. */                                                       \
    X(FramesOptionName, kTofimageFrames,                                                           \
      "argument <k>: the options after numCores are name-value pairs, and the only name is "       \
      "'Progress'")                                                                                \
    X(BeamOptionName, kTofimageBeamform,                                                           \
      "argument <k>: the options after Z are name-value pairs; the names are Interp, Beamformer, " \
      "Term, FNumber, Normals, Window, Weights, Envelope, SampleOffset, NumCores and Progress")    \
    X(OptionNoValue, kTofimageBeamform, "the option '<name>' has no value")                        \
    X(OptionValue, kStacks, "the value of '<name>' must be <what>")                                \
    X(OptionText, kTofimageBeamform, "the value of '<name>' must be a character vector<or>")       \
    X(UnknownChoice, kNoHost, "unknown option '<name>' (interp, beamformer, term or window)")      \
    X(Interp, kTofimageBeamform | kPython, "Interp must be 'nearest' or 'linear'")                 \
    X(BeamformerName, kTofimageBeamform | kPython,                                                 \
      "Beamformer must be 'das', 'cf', 'das-cf', 'dmas' or 'sdmas'")                               \
    X(Term, kTofimageBeamform | kPython,                                                           \
      "Term must be 'signal', 'derivative' or 'difference' (or 1, 2, 3)")                          \
    X(Window, kTofimageBeamform | kPython, "Window must be 'box', 'hann' or 'tukey'")              \
    /* The engine's limits, checked on every request. */                                           \
    X(NegativeFrames, kNoHost, "the number of frames must not be negative")                        \
    X(TwoRows, kRecon | kTofimageBeamform, "sigMat must have at least two rows (time samples)")    \
    X(NegativeCols, kNoHost, "sigMat must not have a negative number of columns")                  \
    X(SigMatFrames, kNoHost, "sigMat has too many frames")                                         \
    X(SigMatNoData, kNoHost, "sigMat has no data")                                                 \
    X(SigMatElements, kNoHost, "sigMat has fewer elements than rows times columns")                \
    X(SigMatStackElements, kNoHost,                                                                \
      "sigMat has fewer elements than rows times columns times frames")                            \
    X(TimeCount, kTofimage | kTofimageFrames,                                                      \
      "t must have at least as many elements as sigMat has rows")                                  \
    X(SensorCount, kRecon, "<name> must have at least as many elements as sigMat has columns")     \
    X(NegativeN, kRecon, "n must not be negative")                                                 \
    X(LargeN, kRecon, "n is too large: n*n must be less than 2^31")                                \
    X(ReconFrames, kNoHost, "Recon has too many frames")                                           \
    X(ReconElements, kNoHost, "Recon must have n*n elements")                                      \
    X(ReconStackElements, kNoHost, "Recon must have n*n*frames elements")                          \
    X(ReconNoData, kNoHost, "Recon has no data")                                                   \
    X(TimeStart, kTofimageBeamform | kPython,                                                      \
      "t must start with two different finite sample times")                                       \
    X(SpeedOfSound, kTofimageBeamform | kPython, "c must be a positive finite number")             \
    X(SamplingRate, kTofimageBeamform | kPython, "fs must be a positive finite number")            \
    X(NegativePoints, kNoHost, "the number of points must not be negative")                        \
    X(ArrayCount, kNoHost, "<name> must have at least as many elements <as>")                      \
    X(NotFinite, kTofimageBeamform | kAutofocus, "<name> must be finite (no NaN or Inf)")          \
    X(SampleOffset, kTofimageBeamform | kPython, "SampleOffset must be finite")                    \
    X(FNumber, kTofimageBeamform | kPython,                                                        \
      "FNumber must be a finite number >= 0 (0: no f-number)")                                     \
    X(NeedNormals, kTofimageBeamform | kPython,                                                    \
      "FNumber needs Normals: one direction per sensor (sensors x 3)")                             \
    X(NormalLength, kTofimageBeamform | kPython,                                                   \
      "Normals: the normal of sensor <k> has zero (or no finite) length")                          \
    X(WeightCount, kPython, "Weights must have one element per sensor (as sigMat has columns)")    \
    X(Envelope, kTofimageBeamform | kPython, "Envelope works with the 'das' beamformer only")      \
    X(ImageFrames, kTofimageBeamform | kPython, "the image has too many frames")                   \
    X(ManyPoints, kTofimageBeamform | kPython, "there are too many points")                        \
    X(ImageElements, kNoHost, "the image must have one element per point and frame")               \
    X(ImageNoData, kNoHost, "the image has no data")                                               \
    /* The speed-of-sound search (tofimage_autofocus, tofimage.autofocus) and the grid; the        \
       MATLAB identifier of each is tofimage_autofocus:<argument> (tofimage_grid:<argument>). */   \
    X(AutofocusUsage, kTofimageAutofocus,                                                          \
      "Usage: [c, info] = tofimage_autofocus(sigMat, n, x_sensor, y_sensor, z_sensor, c_range, "   \
      "image_select, t, fs, image_width, numCores, name, value, ...)")                             \
    X(AutofocusPairs, kTofimageAutofocus, "options must come in name-value pairs")                 \
    X(AutofocusOptionText, kTofimageAutofocus, "option names must be text")                        \
    X(AutofocusOptionName, kTofimageAutofocus,                                                     \
      "unknown option '<name>' (roi, search_n, method, resolution, analytic, interp, plot)")       \
    X(AutofocusSigMat, kAutofocus, "sigMat must be a real matrix (time samples x sensors)")        \
    X(AutofocusSize, kAutofocus,                                                                   \
      "sigMat must have at least 2 rows (time samples) and 4 columns (sensors), not <rows> x "     \
      "<cols>")                                                                                    \
    X(WholeNumber, kAutofocus, "<name> must be a whole number of at least <k>")                    \
    X(GridSize, kTofimageGrid | kAutofocus, "n must be at least 1 and at most 46340")              \
    X(SensorColumn, kAutofocus,                                                                    \
      "<name> must hold a finite coordinate for each of the <cols> sensors (columns of sigMat)")   \
    X(SpeedRange, kAutofocus, "c_range must be [c_min c_max] with 0 < c_min < c_max, both finite") \
    X(TimeColumn, kAutofocus, "t must hold a finite time for each of the <rows> rows of sigMat")   \
    X(TimeStep, kAutofocus, "t(2) must differ from t(1): the derivative term divides by it")       \
    X(Positive, kAutofocus, "<name> must be a finite positive number")                             \
    X(RealScalar, kTofimageAutofocus | kTofimageGrid, "<name> must be a real scalar")              \
    X(RealNumber, kTofimageGrid, "<name> must be a real number")                                   \
    X(TrueFalse, kTofimageAutofocus, "<name> must be true or false")                               \
    X(ImageField, kNoHost, "the image field must be finite")                                       \
    X(Roi, kAutofocus,                                                                             \
      "roi must be [x_min x_max y_min y_max], finite, with x_max > x_min and y_max > y_min")       \
    X(Resolution, kAutofocus,                                                                      \
      "resolution must be at least (c_max - c_min) / 2^44 (or 0 for the default)")                 \
    X(Method, kAutofocus, "method must be 'coherence', 'subaperture' or 'sharpness'")              \
    X(AutofocusInterp, kTofimageAutofocus, "interp must be 'nearest' or 'linear'")                 \
    X(GridUsage, kTofimageGrid, "Usage: [x, y] = tofimage_grid(n, image_width)")                   \
    /* Once the computation runs (the MEX gateways put "<function>: " first). */                   \
    X(PlanMemory, kTofimage,                                                                       \
      "out of memory: could not allocate the reconstruction plan (<sensors> sensors, <samples> "   \
      "samples, <n> x <n> image)")                                                                 \
    X(StackMemory, kStacks, "out of memory: could not allocate <what> (<request>)")                \
    X(Interrupted, kStacks, "interrupted (Ctrl-C) after <done> of <frames> frames")                \
    X(FftFailed, kTofimageBeamform, "the envelope's Fourier transform failed (<message>)")

enum class ReconMsg {
#define TOFIMAGE_MESSAGE_ID(id, hosts, text) id,
    TOFIMAGE_MESSAGES(TOFIMAGE_MESSAGE_ID)
#undef TOFIMAGE_MESSAGE_ID
};

struct ReconMessageEntry {
    const char* id;
    unsigned hosts;
    const char* text;
};

inline constexpr ReconMessageEntry kReconMessages[] = {
#define TOFIMAGE_MESSAGE_ENTRY(id, hosts, text) {#id, hosts, text},
    TOFIMAGE_MESSAGES(TOFIMAGE_MESSAGE_ENTRY)
#undef TOFIMAGE_MESSAGE_ENTRY
};

inline const char* messageText(ReconMsg m) { return kReconMessages[(int)m].text; }

// Writes message m into out (size bytes, always terminated), its
// placeholders filled in order by the `count` texts at args; a placeholder
// without an argument stays as it is. Allocates nothing.
inline void formatMessage(char* out, std::size_t size, ReconMsg m, const char* const* args,
                          std::size_t count) {
    const char* p = messageText(m);
    std::size_t used = 0, next = 0;
    const auto put = [&](const char* s, std::size_t len) {
        for (std::size_t k = 0; k < len && used + 1 < size; ++k) out[used++] = s[k];
    };
    while (*p != '\0') {
        const char* close = *p == '<' && next < count ? std::strchr(p, '>') : nullptr;
        if (close != nullptr) {
            put(args[next], std::strlen(args[next]));
            ++next;
            p = close + 1;
        } else {
            put(p++, 1);
        }
    }
    if (size > 0) out[used] = '\0';
}

inline void formatMessage(char* out, std::size_t size, ReconMsg m,
                          std::initializer_list<const char*> args = {}) {
    formatMessage(out, size, m, args.begin(), args.size());
}

// A number as a message's argument: message(m, {MessageNumber(k)}).
struct MessageNumber {
    char text[24];
    explicit MessageNumber(long long v) { std::snprintf(text, sizeof text, "%lld", v); }
    operator const char*() const { return text; }
};

// The same as a string.
inline std::string message(ReconMsg m, std::initializer_list<const char*> args = {}) {
    char out[512];
    formatMessage(out, sizeof out, m, args);
    return out;
}

#endif

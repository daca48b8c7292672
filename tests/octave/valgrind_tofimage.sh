#!/bin/sh
# Runs valgrind_session.m in octave-cli under valgrind memcheck and fails on
# any memcheck error inside the module.
#
#   valgrind_tofimage.sh VALGRIND OCTAVE_CLI MODULE_DIR TESTS_DIR OUT_DIR [FUZZ_CALLS]
#
# "Inside the module" means: the stack of the faulting access (the first
# stack of the error, not the stack where the block was allocated or freed)
# has a frame in a module's shared object, tofimage.mex or
# tofimage_frames.mex. The engine is linked statically into each, so that
# covers the gateways, the engine and anything they inline; the OpenMP
# worker threads running the pixel loop start in libgomp but run the
# engine's code, so their frames count too.
# Errors with no frame in the module are Octave's own or the C library's;
# they are listed (with their kinds) but do not fail the test. On Debian 12's
# Octave 7.3 there are none, in this session or in one that never calls the
# module, so any that appear are worth a look: a module that corrupted an
# array it handed back would show up there. Leak records are not checked
# (valgrind's XML output lists them at exit whatever --leak-check says): the
# module allocates nothing of its own that outlives a call, Octave leaks
# dozens of blocks at start-up, and Octave's MEX layer itself does not free
# the dimension array of mxGetDimensions when a call ends in an error.
set -eu
valgrind=$1 octave=$2 module_dir=$3 tests_dir=$4 out=$5 calls=${6:-300}
mkdir -p "$out"
log=$out/valgrind_tofimage.log
xml=$out/valgrind_tofimage.xml
rm -f "$log" "$xml"

status=0
"$valgrind" --tool=memcheck --leak-check=no --num-callers=40 \
    --log-file="$log" --xml=yes --xml-file="$xml" \
    "$octave" --no-gui -q -H --no-site-file --path "$module_dir" --path "$tests_dir" \
    --eval "valgrind_session($calls)" || status=$?
if [ "$status" -ne 0 ]; then
    echo "octave-cli under valgrind exited with status $status"
    tail -n 40 "$log"
    exit 1
fi

if [ ! -s "$xml" ]; then
    echo "valgrind wrote no XML report ($xml)"
    exit 1
fi

# One line per error: kind, whether the access stack is in the module, and
# the first few frames of that stack.
summary=$(awk '
    /<error>/     { inerr = 1; kind = ""; stacks = 0; mine = 0; frames = ""; next }
    /<\/error>/   {
        if (inerr && kind !~ /^Leak_/) print kind, (mine ? "MODULE" : "outside"), frames
        if (inerr && kind ~ /^Leak_/) leaks++
        inerr = 0; next
    }
    END           { if (leaks) print "LEAKS", leaks }
    !inerr        { next }
    /<kind>/      { gsub(/.*<kind>|<\/kind>.*/, ""); kind = $0; next }
    /<stack>/     { stacks++; next }
    stacks == 1 && /<obj>/ {
        obj = $0; gsub(/.*<obj>|<\/obj>.*/, "", obj)
        if (obj ~ /tofimage(_frames)?\.mex$/) mine = 1
        next
    }
    stacks == 1 && /<fn>/ {
        fn = $0; gsub(/.*<fn>|<\/fn>.*/, "", fn)
        gsub(/&lt;/, "<", fn); gsub(/&gt;/, ">", fn); gsub(/&amp;/, "\\&", fn)
        if (length(fn) > 60) fn = substr(fn, 1, 57) "..."
        if (split(frames, f, " <- ") < 4) frames = frames (frames == "" ? "" : " <- ") fn
        next
    }
' "$xml")

leaks=$(printf '%s\n' "$summary" | sed -n 's/^LEAKS //p')
summary=$(printf '%s\n' "$summary" | grep -v '^LEAKS ' || true)
errors=$(printf '%s\n' "$summary" | grep -c . || true)
inside=$(printf '%s\n' "$summary" | grep -c ' MODULE ' || true)
echo "valgrind_tofimage: memcheck reported $errors error(s), $inside inside the modules," \
     "and ${leaks:-0} leak record(s), not checked (log: $log)"
if [ "$errors" -gt 0 ]; then
    printf '%s\n' "$summary" | sort | uniq -c | sed 's/^/  /'
fi
if [ "$inside" -gt 0 ]; then
    echo "FAILED: memcheck errors inside the module; details in $log"
    exit 1
fi
exit 0

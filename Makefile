# People's entry points; CMake does the building.
#   make        configure and build everything into build/
#   make test   install missing Debian packages, build, run every test
#   make bench  run the benchmarks
#   make demo   reconstruct a simulated scan into build/demo.png
BUILD ?= build
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Release
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

# Debian packages the build, the tests and the demo need.
DEPS = cmake make g++ pkg-config libgtest-dev libbenchmark-dev libhwy-dev \
       octave liboctave-dev clang libclang-rt-14-dev valgrind gnuplot

.PHONY: all build deps test bench demo clean

all: build

build:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# Installs only what is missing, so a machine that has everything needs
# neither root nor the network.
deps:
	@missing=""; for p in $(DEPS); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  SUDO=""; [ "$$(id -u)" -eq 0 ] || SUDO=sudo; \
	  $$SUDO apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

test: deps build
	ctest --test-dir $(BUILD) --output-on-failure

bench: build
	$(BUILD)/bench/recon_bench

# Octave without a display draws the demo's picture through gnuplot.
demo: deps build
	octave-cli --no-gui -q -H --path $(BUILD) --path matlab \
	  --eval "demo_tofimage('$(BUILD)/demo.png')"

clean:
	rm -rf $(BUILD)

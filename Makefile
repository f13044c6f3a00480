# Glyphwright: the two commands a developer needs.
#   make demo   install what is missing, build, convert the bundled sample artwork
#   make test   install what is missing, build, run every test (then again under ASan+UBSan)

BUILD      ?= build
BUILD_ASAN ?= build-asan
BUILD_BENCH ?= build-bench
JOBS       ?= $(shell nproc)
CMAKE_FLAGS ?=
# A cold build is a cache miss at every compile: in depend mode ccache keys a result by the
# headers the compiler says it read instead of running the preprocessor first (about 4 % of
# a compile here).
export CCACHE_DEPEND ?= true

.PHONY: all deps configure build test test-main test-asan test-release demo bench clean

all: build

deps:
	@scripts/install-deps

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

configure: deps $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: deps
	@$(MAKE) --no-print-directory test-release
	@$(MAKE) --no-print-directory test-main
	@$(MAKE) --no-print-directory test-asan

# `make bench` builds in Release (-O3): a few sources are compiled that way here, so that a
# flag that breaks only that configuration fails the tests, not a newcomer's benchmarks.
test-release: deps
	cmake -S . -B $(BUILD_BENCH) -G Ninja -DCMAKE_BUILD_TYPE=Release -DGW_BUILD_BENCH=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD_BENCH) -j $(JOBS) --target gw_release_check

# scripts/run-tests runs ctest, then fails the stage if a test left a process or a mount.
test-main: build
	scripts/check-test-properties $(BUILD)
	scripts/run-tests $(BUILD) -j $(JOBS) --output-on-failure

# Second stage: the unit, end-to-end and offscreen widget tests again under AddressSanitizer
# and UBSan, each with four times its time limit (GW_TEST_TIMEOUT_SCALE). Crash tests fork
# children that die on purpose, and the real-window (x11) and slow tests stay out of this
# stage: it builds only the tests it runs and the programs they start.
test-asan: deps
	cmake -S . -B $(BUILD_ASAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DGW_SANITIZE=ON -DGW_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(BUILD_ASAN) -j $(JOBS) --target gw_sanitizer_tests
	scripts/check-test-properties $(BUILD_ASAN)
	ASAN_OPTIONS=detect_leaks=0 scripts/run-tests $(BUILD_ASAN) -j $(JOBS) --output-on-failure -LE 'crash|x11|slow'

# Builds only the two programs the demo runs, not the tests and benchmarks.
demo: configure
	cmake --build $(BUILD) -j $(JOBS) --target glyphwright gw-grant-root
	@scripts/demo $(BUILD)

bench: deps
	@scripts/install-deps --bench
	cmake -S . -B $(BUILD_BENCH) -G Ninja -DCMAKE_BUILD_TYPE=Release -DGW_BUILD_BENCH=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD_BENCH) -j $(JOBS)
	@scripts/bench $(BUILD_BENCH)

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_BENCH)

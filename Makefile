# Glyphwright: the two commands a developer needs.
#   make demo   install what is missing, build, convert the bundled sample artwork
#   make test   install what is missing, build, run every test (then again under ASan+UBSan)

BUILD      ?= build
BUILD_ASAN ?= build-asan
BUILD_BENCH ?= build-bench
JOBS       ?= $(shell nproc)
# A checked test spends a quarter of its time waiting (on its programs' starts, on timers, on
# other processes): half again as many run at once keep the processors busy.
SANITIZER_TEST_JOBS ?= $(shell echo $$(( $(JOBS) * 3 / 2 )))
CMAKE_FLAGS ?=
# A cold build is a cache miss at every compile: in depend mode ccache keys a result by the
# headers the compiler says it read instead of running the preprocessor first (about 4 % of
# a compile here).
export CCACHE_DEPEND ?= true

.PHONY: all deps configure build build-asan test test-main test-asan test-release demo bench clean

all: build

deps:
	@scripts/install-deps

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

configure: deps $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# The first stage's tests leave about a third of the processors idle (many wait on timers, on
# other processes, on a window), so the sanitizer build runs beside them at the lowest
# priority: it takes what the tests leave and hardly slows them. A failed stage ends the other.
# It runs in a session of its own, to be ended whole; where the kernel shares the processors
# between sessions first (autogroups), its session is given the lowest priority as well, or it
# would take half of them from the tests.
# When those tests end, what is left of it is stopped and the sanitizer stage builds it at the
# usual priority: at the lowest, on a machine busy with other work, it would get next to nothing
# (about a hundredth of a processor per compile beside programs at the usual priority), and an
# ordinary user cannot raise a priority again. Ninja goes on from what was built.
test: deps
	@$(MAKE) --no-print-directory test-release
	@$(MAKE) --no-print-directory build
	@mkdir -p $(BUILD_ASAN); \
	echo "The sanitizer build runs beside the first stage's tests (its log: $(BUILD_ASAN)/build.log)"; \
	setsid -w sh -c '{ echo 19 > /proc/self/autogroup; } 2>/dev/null; exec nice -n 19 "$$0" --no-print-directory build-asan' \
	  "$(MAKE)" > $(BUILD_ASAN)/build.log 2>&1 & asan=$$!; \
	trap 'kill -- -$$asan 2>/dev/null' EXIT; trap 'exit 1' HUP INT TERM; \
	$(MAKE) --no-print-directory test-main || exit 1; \
	kill -- -$$asan 2>/dev/null && echo "The sanitizer build goes on at the usual priority"; \
	wait $$asan 2>/dev/null; true
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
build-asan: deps
	cmake -S . -B $(BUILD_ASAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DGW_SANITIZE=ON -DGW_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(BUILD_ASAN) -j $(JOBS) --target gw_sanitizer_tests

test-asan: build-asan
	scripts/check-test-properties $(BUILD_ASAN)
	ASAN_OPTIONS=detect_leaks=0 scripts/run-tests $(BUILD_ASAN) -j $(SANITIZER_TEST_JOBS) --output-on-failure -LE 'crash|x11|slow'

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

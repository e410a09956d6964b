# The two entry points of the README: `make run` and `make test`.
# Both install what is missing first (scripts/install-deps is quick when nothing is).

JOBS ?= $(shell nproc)
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
# A compiler cache, where the machine has one, makes rebuilds in several work trees cheap.
CMAKE_FLAGS ?= $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

.PHONY: run test check deps configure build build-asan build-tsan test-asan test-tsan fuzz bench deb format clean

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLICATO_WERROR=ON $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DPLICATO_WERROR=ON -DPLICATO_SANITIZE=ON \
	    -DPLICATO_BUILD_BENCH=OFF $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)

# The threaded parts under ThreadSanitizer: the .xlsx reader (inflate thread, pieces parsed on two threads),
# the merge engine run on a worker (reading the next file ahead, streamed outputs written behind), and the
# window's jobs. The window hands work between threads only as queued calls that tell the sanitizer of the
# ordering Qt's event queue gives them (src/app/queuedcall.h), since the locks of a Qt not built with the
# sanitizer are invisible to it.
TSAN_TESTS ?= XlsxReader_test MergeEngine_test CsvOutput_test
TSAN_APP_TESTS ?= ThreadComponent_test FileScan_test MergeWindow_test
build-tsan: deps
	@cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLICATO_WERROR=ON -DPLICATO_TSAN=ON \
	    -DPLICATO_BUILD_BENCH=OFF $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(TSAN_BUILD) -j $(JOBS) --target $(TSAN_TESTS) $(TSAN_APP_TESTS)

# A bounded run of each fuzz target (clang's libFuzzer), seeded from the shared corpus.
fuzz: deps
	@scripts/fuzz

# The inner loop: the normal build and its unit tests, with the layer check; no fuzzing, no sanitizer
# build, no interop checks against other programs and no package checks (make test runs all of them).
check: build
	@cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS) -LE 'interop|package'

# The fuzz and sanitizer runs come first, so that the last line printed is the summary of the full run.
test-asan: build-asan
	@cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	    QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS) -LE interop

test-tsan: build-tsan
	@scripts/tsan-tests $(TSAN_BUILD) $(TSAN_TESTS) $(addprefix app/,$(TSAN_APP_TESTS))

test: fuzz test-asan test-tsan build
	@cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# Only the two programs, not the tests and benchmarks, so that a fresh clone shows the window soon.
run: configure
	@cmake --build $(BUILD) -j $(JOBS) --target plicato-cli $$([ -d $(BUILD)/src/app ] && echo plicato)
	@if [ -x $(BUILD)/src/app/plicato ]; then $(BUILD)/src/app/plicato; else $(BUILD)/plicato-cli --help; fi

# The Debian package, $(BUILD)/plicato_VERSION_amd64.deb.
deb: build
	@cd $(BUILD) && cpack -G DEB

bench: build
	@for b in $(BUILD)/bench/bench_*; do [ -x "$$b" ] && "$$b"; done

format:
	@clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	@rm -rf $(BUILD) $(ASAN_BUILD)

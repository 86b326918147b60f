# Top-level driver.  `make run` builds the package and runs the guided tour;
# `make test` builds and runs every test.  Both install missing system
# packages first (scripts/install-deps).
BUILD    ?= build
ASAN     ?= build-asan
FUZZ     ?= build-fuzz
JOBS     ?= $(shell nproc)
CMAKE    ?= cmake

.PHONY: all deps build run test asan asan-test fuzz bench clean

all: build

deps:
	@./scripts/install-deps

$(BUILD)/Makefile: CMakeLists.txt | deps
	$(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: deps $(BUILD)/Makefile
	$(CMAKE) --build $(BUILD) -j $(JOBS)

run: build
	tclsh examples/tour.tcl

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
asan: deps
	CC=clang CXX=clang++ $(CMAKE) -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DZARN_SANITIZE=ON -DZARN_BENCH=OFF >/dev/null
	$(CMAKE) --build $(ASAN) -j $(JOBS)

asan-test: asan
	cd $(ASAN) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

# libFuzzer programs (clang); run one with e.g. build-fuzz/fuzz/tiff_fuzz CORPUS.
fuzz: deps
	CC=clang CXX=clang++ $(CMAKE) -S . -B $(FUZZ) -DCMAKE_BUILD_TYPE=Debug -DZARN_FUZZ=ON -DZARN_BENCH=OFF >/dev/null
	$(CMAKE) --build $(FUZZ) -j $(JOBS)

bench: build
	./bench/run $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN) $(FUZZ)

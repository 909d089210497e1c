# make        builds the product, build/updater.exe and build/kestrune-publish.exe (32-bit)
# make test   runs every test (unit tests and end-to-end tests under Wine)
# make demo   runs the updater against the embedded local demo publisher
# make bench  runs the benchmarks
#
# Tests run the updater under Wine. Where the host kernel cannot execute 32-bit code (32-bit
# emulation switched off), Wine runs only 64-bit programs: the same sources are then also built
# as a 64-bit program in build/x64 and the tests run that build.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
PYTHON ?= /usr/bin/python3
# Decided when first needed, so that the targets below decide it in a make started after the packages
# (among them the 32-bit loader) were installed.
TEST_BUILD_DIR = $(shell bash cmake/host-runs-32bit.sh 2>/dev/null && echo $(BUILD_DIR) || echo $(BUILD_DIR)/x64)
TEST_ARCH := $(if $(filter $(BUILD_DIR),$(TEST_BUILD_DIR)),i686,x86_64)

.PHONY: all deps build build-tests test demo bench test-with-deps demo-with-deps bench-with-deps clean

all: build

deps:
	@bash scripts/install-deps.sh

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw.cmake -DUPDATER_ARCH=i686 -DCMAKE_BUILD_TYPE=Release

$(BUILD_DIR)/x64/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR)/x64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw.cmake -DUPDATER_ARCH=x86_64 -DCMAKE_BUILD_TYPE=Release

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS) --target updater kestrune-publish

build-tests: deps $(TEST_BUILD_DIR)/CMakeCache.txt
	cmake --build $(TEST_BUILD_DIR) -j $(JOBS)

# The packages first, then the rest in a second make that sees what they installed: on a fresh
# machine the 32-bit loader arrives with them, and with it the choice of the 32-bit test build.
test demo bench: deps
	@$(MAKE) --no-print-directory $@-with-deps

test-with-deps: build build-tests
	cd $(TEST_BUILD_DIR) && ctest --output-on-failure -j 2

demo-with-deps: build-tests
	$(PYTHON) demo/run_demo.py --build-dir $(TEST_BUILD_DIR)
	$(PYTHON) demo/gallery.py --build-dir $(TEST_BUILD_DIR)

bench-with-deps: build-tests
	cmake --build $(TEST_BUILD_DIR) -j $(JOBS) --target bench
	$(PYTHON) bench/run_bench.py --build-dir $(TEST_BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)

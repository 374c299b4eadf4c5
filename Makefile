# A newcomer's two commands: `make demo` and `make test`.
BUILD ?= build
ASAN_BUILD ?= build-asan
RELEASE_BUILD ?= build-release
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
# Debian's interpreter, whose python3-* packages the peers and Python tests use.
PYTHON ?= /usr/bin/python3

.PHONY: all bootstrap configure build test demo asan-test release-check install-check \
        bench bench-peers format check-format tidy clean

all: build

bootstrap:
	@scripts/bootstrap

configure: bootstrap
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: build
	@mkdir -p $(BUILD)/demo
	$(BUILD)/bin/filterhost list
	$(BUILD)/bin/filterhost run rgb_to_ihs examples/chelsea.png -o $(BUILD)/demo/chelsea_ihs.png
	@echo "demo: wrote $(BUILD)/demo/chelsea_ihs.png (intensity, hue, saturation in red, green, blue)"

# The test suite once more under AddressSanitizer and UndefinedBehaviorSanitizer.
asan-test: bootstrap
	@cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFILTERKIT_SANITIZE=ON \
	  -DFILTERKIT_BENCH=OFF $(EXTRA_CMAKE_FLAGS) >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	@ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# The build users make most often: Release, here with warnings as errors.
release-check: bootstrap
	@cmake -S . -B $(RELEASE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DFILTERKIT_WERROR=ON \
	  -DFILTERKIT_TESTS=OFF -DFILTERKIT_BENCH=OFF >/dev/null
	@cmake --build $(RELEASE_BUILD) -j $(JOBS)

# Install into a scratch prefix, build and run examples/custom_plugin against
# it, and build the Debian package.
install-check: release-check
	@scripts/check-install $(RELEASE_BUILD)

bench: build
	@for b in $(BUILD)/bench/*_bench; do echo "== $$b"; $$b; done

# Our filters and the peer libraries on the same images, one table of ratios.
bench-peers: build
	@$(PYTHON) bench/bench_peers.py --build $(BUILD)

format:
	@git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format -i

check-format:
	@scripts/check-format

tidy: configure
	@git ls-files 'host/*.cpp' 'tools/*.cpp' | xargs clang-tidy -p $(BUILD) --quiet

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(RELEASE_BUILD)

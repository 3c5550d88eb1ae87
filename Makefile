# Set-up and build entry points. Every target installs what it needs first
# (Debian 12, as root; nothing is installed when everything is already there).

BUILD_DIR ?= build
ASAN_DIR ?= build-asan
JOBS ?= 2
PREFIX ?= /usr/local

DEBIAN_PACKAGES = build-essential cmake pkg-config libcurl4-openssl-dev libpugixml-dev \
  libgdal-dev libsqlite3-dev libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev \
  cgi-mapserver python3 gdal-bin mapproxy libjs-leaflet chromium \
  pybind11-dev python3-dev python3-numpy python3-geopandas python3-owslib python3-gdal

FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
# The fuzz targets need clang and its libFuzzer runtime.
FUZZ_PACKAGES = clang libclang-rt-14-dev

# The peers of the benchmark report.
BENCH_PACKAGES = python3-owslib time curl

TSAN_DIR ?= build-tsan
# The tests that run several threads at once: downloads, the tile cache and
# the tiled datasets.
TSAN_TESTS = *Concurrent*:*StopInTheMiddle*:*Parallel*:WMTSTest.*:TileCacheStub.*:HttpTransfers.*

.PHONY: all deps build test sanitize tsan fuzz demo view bench install clean reliability

all: build

deps:
	@./scripts/install-deps.sh $(DEBIAN_PACKAGES)
	@command -v node >/dev/null && command -v npm >/dev/null || ./scripts/install-deps.sh nodejs npm

build: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD_DIR) -j$(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j$(JOBS)

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps
	cmake -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DOGCWEB_SANITIZE=ON
	cmake --build $(ASAN_DIR) -j$(JOBS)
	cd $(ASAN_DIR) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j$(JOBS)

# Every request against every fault, written to docs/reliability.md.
reliability: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD_DIR) -j$(JOBS) --target reliability

# The sample service on loopback, the ogcweb host program against it, the
# results in demo-out/.
demo: build
	./scripts/demo.sh

# The sample service, its tile service and the viewer on all of them; the
# page's address is printed, Ctrl-C stops everything.
view: build
	./scripts/view.sh

# The capabilities reader on its own, then the engine against its peers on
# loopback servers: the comparison goes to docs/performance.md.
bench: deps
	@./scripts/install-deps.sh $(BENCH_PACKAGES)
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DOGCWEB_BUILD_TESTS=OFF
	cmake --build build-bench -j$(JOBS)
	./build-bench/bench/bench_capabilities
	./bench/report.sh build-bench docs/performance.md

# The threaded tests under ThreadSanitizer.
tsan: deps
	cmake -S . -B $(TSAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DOGCWEB_TSAN=ON -DOGCWEB_BUILD_BENCH=OFF
	cmake --build $(TSAN_DIR) -j$(JOBS) --target ogcweb_tests
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/tsan.supp" \
	  $(TSAN_DIR)/tests/ogcweb_tests --gtest_filter='$(TSAN_TESTS)'

# The readers of server answers under libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer, each for FUZZ_SECONDS (see fuzz/run.sh).
fuzz: deps
	@./scripts/install-deps.sh $(FUZZ_PACKAGES)
	cmake -S . -B $(FUZZ_DIR) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DOGCWEB_FUZZ=ON \
	  -DOGCWEB_BUILD_TESTS=OFF -DOGCWEB_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g"
	cmake --build $(FUZZ_DIR) -j$(JOBS) --target fuzzers
	./fuzz/run.sh $(FUZZ_DIR) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(TSAN_DIR) $(FUZZ_DIR) build-bench demo-out

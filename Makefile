# Entry points for people and CI. Everything is built in build/ with CMake and Ninja.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)
# Port of the demonstration server (make demo PORT=8090).
PORT ?= 8080
# make install: /usr puts mod_qv where Debian's Apache and a2enmod find it;
# DESTDIR installs below another root (make install DESTDIR=/tmp/stage).
PREFIX ?= /usr
DESTDIR ?=

.PHONY: all deps configure build test bench bench-apache bench-revocation clean demo demo-stop \
        asan-configure test-asan test-asan-unit stress fuzz-build fuzz fuzz-regression

all: build

deps:
	@sh scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# The sanitizer unit tests and the fuzz regression first, so that CTest's
# summary of the whole suite is what a run ends with.
test: build test-asan-unit fuzz-regression
	@ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

# The same code built with AddressSanitizer and UndefinedBehaviorSanitizer, in
# a folder of its own. Unit tests run with leak detection. Apache itself is not
# instrumented: its processes get the sanitizer runtime preloaded so that the
# instrumented module can load, without leak detection, since Apache leaves
# its pools to the end of the process. Reports land in asan-reports/, and any
# report fails the run.
ASAN_BUILD_DIR ?= build-asan
ASAN_RUNTIME := $(shell g++ -print-file-name=libasan.so 2>/dev/null)
ASAN_REPORTS = $(abspath $(ASAN_BUILD_DIR))/asan-reports
UNIT_SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
APACHE_SANITIZER_ENV = LD_PRELOAD=$(ASAN_RUNTIME) \
	ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:log_path=$(ASAN_REPORTS)/asan \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(ASAN_REPORTS)/ubsan
# Valgrind cannot run instrumented programs; the symbol list check is about
# the normal build.
ASAN_UNIT_EXCLUDED = library_memcheck|exported_symbols

asan-configure: deps
	@cmake -S . -B $(ASAN_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DNUBREL_SANITIZE=ON $(CMAKE_FLAGS) >/dev/null

# Only what the unit tests need is built, to keep CI short.
test-asan-unit: asan-configure
	@cmake --build $(ASAN_BUILD_DIR) -j $(JOBS) --target unit_tests crypto_internal_tests c_header_client tool_tests
	@$(UNIT_SANITIZER_ENV) ctest --test-dir $(ASAN_BUILD_DIR) --output-on-failure -j $(JOBS) \
		-LE 'apache|browser|install' -E '$(ASAN_UNIT_EXCLUDED)'

test-asan: asan-configure
	@cmake --build $(ASAN_BUILD_DIR) -j $(JOBS)
	@$(MAKE) --no-print-directory test-asan-unit
	@rm -rf $(ASAN_REPORTS) && mkdir -p $(ASAN_REPORTS) && chmod 1777 $(ASAN_REPORTS)
	@$(APACHE_SANITIZER_ENV) ctest --test-dir $(ASAN_BUILD_DIR) --output-on-failure -j $(JOBS) -L apache
	@if ls $(ASAN_REPORTS)/* >/dev/null 2>&1; then cat $(ASAN_REPORTS)/*; echo "test-asan: sanitizer reports above"; exit 1; fi

# libFuzzer targets (fuzz/) built with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in a folder of their own. make fuzz runs each
# target for FUZZ_SECONDS over a working copy of its seeds and prints its
# coverage; make fuzz-regression runs every committed seed, then fuzzes each
# target briefly. A crash fails either and its input stays in
# $(FUZZ_BUILD_DIR)/fuzz-work/TARGET/.
FUZZ_BUILD_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_REGRESSION_SECONDS ?= 10

fuzz-build: deps
	@cmake -S . -B $(FUZZ_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 -DNUBREL_FUZZ=ON >/dev/null
	@cmake --build $(FUZZ_BUILD_DIR) -j $(JOBS)

fuzz: fuzz-build
	@sh fuzz/run.sh --build $(FUZZ_BUILD_DIR) --seconds $(FUZZ_SECONDS)

fuzz-regression: fuzz-build
	@sh fuzz/run.sh --build $(FUZZ_BUILD_DIR) --seconds $(FUZZ_REGRESSION_SECONDS) --regression

# The load and graceful-restart tests at full length: 32 clients for 20 s
# each (make test runs them for 5 s). QV_LOAD_SECONDS=N sets another length.
QV_LOAD_SECONDS ?= 20
stress: build
	@QV_LOAD_SECONDS=$(QV_LOAD_SECONDS) $(BUILD_DIR)/tests/apache/apache_load

# The library's benchmarks in repetitions, interleaved so that the machine's
# drift falls on every side alike, then the median library round beside bare
# zlib's round on the same payloads.
bench: build
	@$(BUILD_DIR)/bench/bench_token --benchmark_repetitions=7 --benchmark_enable_random_interleaving=true \
	    --benchmark_min_time=0.3 --benchmark_report_aggregates_only=true | tee $(BUILD_DIR)/bench-token.txt
	@awk '/^BM_DecodeRenewEncode\/2_median/ { round = $$2 } /^BM_ZlibRound_median/ { zlib = $$2 } \
	    END { if (zlib > 0) printf "library round (suite 2) / zlib round, medians: %.0f ns / %.0f ns = %.2f\n", round, zlib, round / zlib }' \
	    $(BUILD_DIR)/bench-token.txt
	@$(BUILD_DIR)/bench/bench_revocation

# Apache serving a 1 KiB file with and without the agent, in alternating
# pairs of wrk runs, for the fixed, follow and unique workloads: each pair,
# then per workload the median ratios of throughput and of Apache's CPU time
# per request, p50/p99 at one connection and the token cache's hit rate.
bench-apache: build
	@sh bench/apache/run.sh --build $(BUILD_DIR)

# Protected requests with a shmcb or Redis revocation store against none.
bench-revocation: build
	@sh bench/apache/revocation.sh --build $(BUILD_DIR)

# Apache on 127.0.0.1:$(PORT) with the agent, a protected application and the
# development login page; runs in the foreground until Ctrl-C.
demo: build
	@sh demo/run.sh run --build $(BUILD_DIR) --port $(PORT)

demo-stop:
	@sh demo/run.sh stop --build $(BUILD_DIR)

# The module, libnubrel, the nubrel tool and the sample configuration.
.PHONY: install deb test-package
install: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS)
	@DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR)

# The Debian packages of debian/ (libapache2-mod-qv, libnubrel2,
# libnubrel-dev, nubrel-tools), built with dpkg-buildpackage in a copy of the
# source in $(BUILD_DIR)/deb and put into $(BUILD_DIR).
deb: deps
	@JOBS=$(JOBS) sh packaging/make-deb.sh --build $(BUILD_DIR)/deb --out $(BUILD_DIR)

# Opt-in, never part of make test: installs the packages into this machine
# with dpkg, as root, on a machine you can throw away afterwards: a2enmod,
# configtest and apache2ctl -M, then removal and purge. Service starts are
# blocked while it runs.
test-package: deb
	@sh tests/install/test_dpkg.sh $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR) $(ASAN_BUILD_DIR) $(FUZZ_BUILD_DIR)

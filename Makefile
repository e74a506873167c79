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

.PHONY: all deps configure build test bench bench-apache clean demo demo-stop

all: build

deps:
	@sh scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	@ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

bench: build
	@$(BUILD_DIR)/bench/bench_token

# Apache serving a 1 KiB file with and without the agent, in alternating
# pairs of wrk runs; the last line is the median throughput ratio.
bench-apache: build
	@sh bench/apache/run.sh --build $(BUILD_DIR)

# Apache on 127.0.0.1:$(PORT) with the agent, a protected application and the
# development login page; runs in the foreground until Ctrl-C.
demo: build
	@sh demo/run.sh run --build $(BUILD_DIR) --port $(PORT)

demo-stop:
	@sh demo/run.sh stop --build $(BUILD_DIR)

# The module, libnubrel, the nubrel tool and the sample configuration.
.PHONY: install deb
install: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS)
	@DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR)

# The Debian package libapache2-mod-qv, built in $(BUILD_DIR)/deb.
deb: deps
	@JOBS=$(JOBS) sh packaging/make-deb.sh --build $(BUILD_DIR)/deb --out $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)

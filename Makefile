# Paperlens: build, test and demo on a Debian 12 machine.
#
#   make demo    build, then serve the demo appliance on 127.0.0.1
#   make test    build, then run every test (each inside its own appliance sandbox)
#
# Both first install the Debian packages that are missing (needs root, or sudo).

BUILD      ?= build
BUILD_ASAN ?= build-asan
JOBS       ?= $(shell nproc)
PORT       ?= 8080
CTEST_ARGS ?=

# Build tools and libraries.
PKGS_BUILD := cmake g++ make pkg-config libjsoncpp-dev libsqlite3-dev libboost-filesystem-dev \
              libboost-system-dev libgtest-dev libgmock-dev libcrypt-dev libfcgi-dev sqlite3 \
              libbenchmark-dev
# The appliance stand-in: sandbox, web server, accounts, ACLs.
PKGS_PLATFORM := bubblewrap lighttpd acl util-linux procps psmisc curl ca-certificates python3
# Converter tools inside the pool's containers (without recommends: plain unoconv pulls a GUI office).
PKGS_CONVERT := libreoffice-writer-nogui libreoffice-calc-nogui libreoffice-impress-nogui \
                libreoffice-draw-nogui unoconv python3-uno pdftk-java imagemagick ghostscript \
                calibre poppler-utils qpdf fonts-dejavu-core
# The PDF viewer's print tool, and the platform's QR codes (made, and read back by the tests).
PKGS_FOLIUM := python3-pikepdf qrencode zbar-tools
# Browser tests (and Node.js for their driver, when the machine has none).
PKGS_TEST := chromium
# Benchmarks: the HTTP load generator, and GNU time for peak memory.
PKGS_BENCH := wrk time
PACKAGES := $(PKGS_BUILD) $(PKGS_PLATFORM) $(PKGS_CONVERT) $(PKGS_FOLIUM) $(PKGS_TEST) $(PKGS_BENCH)

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all setup build test test-unit test-asan bench demo shell clean

all: build

setup:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	command -v node >/dev/null || missing="$$missing nodejs npm"; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y --no-install-recommends $$missing; \
	fi

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: setup $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

# Unit tests only (no conversions, no browser): the quick loop.
test-unit: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -LE 'slow|e2e' $(CTEST_ARGS)

# The same unit tests under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: setup
	cmake -S . -B $(BUILD_ASAN) -DCMAKE_BUILD_TYPE=Debug -DPAPERLENS_SANITIZE=ON
	cmake --build $(BUILD_ASAN) -j $(JOBS)
	cd $(BUILD_ASAN) && ctest --output-on-failure -j $(JOBS) -LE 'slow|e2e|convert' $(CTEST_ARGS)

# Every benchmark, inside a fresh appliance, as one table (figures next to same-run baselines).
bench: build
	./harbor/appliance/appliance run --build $(BUILD) -- env PAPERLENS_BUILD=$(abspath $(BUILD)) \
	  $(CURDIR)/bench/run.py $(BENCH_ARGS)

demo: build
	./harbor/appliance/appliance demo --build $(BUILD) --port $(PORT)

# An interactive shell inside a fresh appliance.
shell: build
	./harbor/appliance/appliance run --build $(BUILD) -- /bin/bash

clean:
	rm -rf $(BUILD) $(BUILD_ASAN)

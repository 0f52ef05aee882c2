# The two commands: `make run` and `make test`. Everything else is optional.
BUILD      ?= build
JOBS       ?= $(shell nproc)
CMAKE_GEN  := -G Ninja
export XDG_RUNTIME_DIR ?= /tmp/runtime-$(shell id -u)
# Let ccache (when installed) share objects between checkouts in sibling folders.
export CCACHE_BASEDIR ?= $(abspath $(CURDIR)/..)
export CCACHE_NOHASHDIR ?= 1

.PHONY: deps configure build test test-usb record-sessions test-fleet bench-fleet run bench asan fuzz install package screenshots clean

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@mkdir -p -m 0700 $(XDG_RUNTIME_DIR)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The production programs against the kernel's own USB, HID and input layers:
# a qemu guest in which vardo-usb-gadget makes the virtual encoder a USB device.
test-usb: build
	@scripts/install-deps --usb
	tests/usb/run-guest tests/usb/guest-tests $(abspath $(BUILD))

# The sessions of tests/recorded/sessions.txt recorded again with umockdev in
# that guest (by hand: the recordings are committed; make test replays them).
record-sessions: configure
	@scripts/install-deps --usb
	@cmake --build $(BUILD) -j $(JOBS) --target vardo-encoder vardo-usb-gadget
	tests/recorded/record-sessions $(abspath $(BUILD))

# The Ansible collection on twenty local kiosks with virtual encoders.
test-fleet: build
	@scripts/install-deps --fleet
	tests/fleet/run-fleet-test $(BUILD)

# Times of the fleet's settings and firmware plays (by hand; not a test).
bench-fleet: build
	@scripts/install-deps --fleet
	bench/fleet/bench-fleet $(BUILD)

run: configure
	@cmake --build $(BUILD) -j $(JOBS) --target vardo-encoder-utility-demo
	@mkdir -p -m 0700 $(XDG_RUNTIME_DIR)
	$(BUILD)/src/gui/demo/vardo-encoder-utility-demo

bench: deps
	@cmake -S . -B build-bench $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DVARDO_BUILD_BENCH=ON -DVARDO_BUILD_TESTS=OFF >/dev/null
	@cmake --build build-bench -j $(JOBS)
	@for b in build-bench/bench/bench_*; do [ -x "$$b" ] && "$$b"; done

asan: deps
	@mkdir -p -m 0700 $(XDG_RUNTIME_DIR)
	@cmake -S . -B build-asan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DVARDO_SANITIZE=ON >/dev/null
	@cmake --build build-asan -j $(JOBS)
	cd build-asan && LSAN_OPTIONS=suppressions=$(CURDIR)/tests/support/lsan.supp ctest --output-on-failure -j $(JOBS)

fuzz:
	@scripts/install-deps --fuzz
	@CXX=clang++ cmake -S . -B build-fuzz $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARDO_BUILD_FUZZ=ON -DVARDO_BUILD_TESTS=OFF >/dev/null
	@cmake --build build-fuzz -j $(JOBS)
	@scripts/run-fuzzers build-fuzz $${FUZZ_SECONDS:-60}

clean:
	rm -rf $(BUILD) build-bench build-asan build-fuzz build-package build-tools

install: build
	cmake --install $(BUILD)

package:
	@scripts/install-deps --package
	@cmake -S . -B build-package $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DVARDO_BUILD_TESTS=OFF -DVARDO_MAN_PAGES=ON >/dev/null
	@cmake --build build-package -j $(JOBS)
	cd build-package && cpack

# Pictures of every window for the README (docs/screenshot-*.png), on Xvfb.
screenshots: deps
	@cmake -S . -B build-tools $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARDO_BUILD_TOOLS=ON -DVARDO_BUILD_TESTS=OFF >/dev/null
	@cmake --build build-tools -j $(JOBS) --target vardo_screenshots
	tools/screenshots/run-screenshots build-tools/tools/screenshots/vardo_screenshots docs

# Thin wrapper over CMake. `make run` and `make test` do all set-up themselves.
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
# The sanitizers' build is unoptimised, with its assertions: it compiles in a
# third of the time of an optimised one, and the suite is mostly waiting on
# processes and sockets, not computing.
ASAN_BUILD_TYPE ?= Debug
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

# Each kind of build keeps its own folder so that none of them reconfigures
# another.
ASAN_BUILD ?= build-asan
AARCH64_BUILD ?= build-aarch64
FUZZ_BUILD ?= build-fuzz
GPIOD2_BUILD ?= build-gpiod2
PACKAGE_BUILD ?= build-package
PACKAGE_AARCH64_BUILD ?= build-package-aarch64
FIRMWARE_BUILD ?= build-cortex-m0plus
# Seconds per fuzz target for `make fuzz`.
FUZZ_SECONDS ?= 30
# Operations of `make chaos`; CHAOS_SEED repeats an earlier run.
CHAOS_OPERATIONS ?= 3000
CHAOS_SEED ?=

SANITIZER_ENV = \
  ASAN_OPTIONS=halt_on_error=1:abort_on_error=0:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

.PHONY: all deps configure build run test bench clean fleet-demo \
  test-asan test-aarch64 test-gpiod2 fuzz leak-check chaos package package-aarch64 test-install \
  node-sdk-footprint

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# The board's main job on the simulated example board, in real time: start-up
# from the example configuration, clock sync and a bus scan.
RUN_TARGETS = i2c-kestro-cli i2c-kestro-sim kestro-sim-preload
run: configure
	cmake --build $(BUILD) -j $(JOBS) --target $(RUN_TARGETS)
	./$(BUILD)/sim/i2c-kestro-sim --scenario examples/board.json -- \
	  ./$(BUILD)/src/i2c-kestro-cli board --config examples/config.json --sync-clocks --scan -y

# A broker and 20 simulated boards on this machine, driven through i2c-kestro-cli fleet:
# ls, a node command on every board, a rollout to every node, a summary per board.
FLEET_TARGETS = i2c-kestro-cli i2c-kestro-agent i2c-kestro-sim kestro-sim-preload
fleet-demo: configure
	cmake --build $(BUILD) -j $(JOBS) --target $(FLEET_TARGETS)
	scripts/fleet-demo.sh $(BUILD)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

bench: build
	./$(BUILD)/bench/kestro-bench
	./$(BUILD)/bench/startup/kestro-startup-cost
	./$(BUILD)/bench/link/kestro-link-cost
	./$(BUILD)/bench/many-nodes/kestro-many-nodes
	./$(BUILD)/bench/agent/kestro-agent-soak
	bench/fleet/fleet-bench.sh $(BUILD)

# Mixed node commands and file transfers on the simulated bus with seeded
# random faults, then batches of them on four nodes through one bus schedule,
# faults on some nodes only; fails when one succeeded wrongly, a batch's node
# without faults failed, or a descriptor was left open.
chaos: configure
	cmake --build $(BUILD) -j $(JOBS) --target kestro-chaos
	./$(BUILD)/bench/chaos/kestro-chaos --operations $(CHAOS_OPERATIONS) \
	  $(if $(CHAOS_SEED),--seed $(CHAOS_SEED))

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer; the
# first finding (leaks included) fails the test that made it.
test-asan:
	@scripts/install-deps.sh
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=$(ASAN_BUILD_TYPE) -DKESTRO_SANITIZE=ON \
	  -DKESTRO_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	$(SANITIZER_ENV) ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# The node library and the example firmware built for a Cortex-M0+ node (not
# run), and what they take of its flash and RAM.
node-sdk-footprint:
	@scripts/install-deps.sh --firmware
	cmake -S lib/node-sdk -B $(FIRMWARE_BUILD) -DCMAKE_BUILD_TYPE=MinSizeRel \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-cortex-m0plus.cmake
	cmake --build $(FIRMWARE_BUILD) -j $(JOBS)
	@scripts/node-sdk-footprint.sh $(FIRMWARE_BUILD)

# The whole suite built for the board (aarch64) and run under qemu-user,
# optimised as the packages are, with line tables only for debug information:
# a crash still names its line, and the build takes a quarter less time.
AARCH64_OPTIMISED = -O2 -g1 -DNDEBUG
test-aarch64:
	@scripts/install-deps.sh --aarch64
	cmake -S . -B $(AARCH64_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_FLAGS_RELWITHDEBINFO="$(AARCH64_OPTIMISED)" \
	  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$(AARCH64_OPTIMISED)" \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-aarch64.cmake \
	  -DKESTRO_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(AARCH64_BUILD) -j $(JOBS)
	ctest --test-dir $(AARCH64_BUILD) --output-on-failure -j $(JOBS)

# The GPIO, board and end-to-end tests built against libgpiod 2.1.3 (Debian 12's
# bookworm-backports), unpacked into the build folder: the system's libgpiod
# stays as it is. A Debug build: it checks the other interface, not the code
# the compiler makes.
GPIOD2_DIR = $(CURDIR)/$(GPIOD2_BUILD)/libgpiod2
GPIOD2_TESTS = sim-test sbc-test bus-test board-cli-test
test-gpiod2: deps
	scripts/fetch-libgpiod2.sh $(GPIOD2_DIR)
	PKG_CONFIG_PATH=$(GPIOD2_DIR)/pkgconfig cmake -S . -B $(GPIOD2_BUILD) \
	  -DCMAKE_BUILD_TYPE=Debug -DKESTRO_GPIOD_API=2 -DKESTRO_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(GPIOD2_BUILD) -j $(JOBS) --target $(GPIOD2_TESTS)
	LD_LIBRARY_PATH=$(GPIOD2_DIR)/lib ctest --test-dir $(GPIOD2_BUILD) --output-on-failure \
	  -j $(JOBS) -E '_NOT_BUILT$$|^fuzz_corpus[.]'

# libFuzzer targets built with clang, each run for FUZZ_SECONDS from its seed
# corpus; what they find goes to $(FUZZ_BUILD)/findings.
fuzz:
	@scripts/install-deps.sh --fuzz
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
	  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
	  -DKESTRO_SANITIZE=ON -DKESTRO_BUILD_FUZZ=ON -DKESTRO_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target kestro-fuzzers
	$(SANITIZER_ENV) scripts/run-fuzzers.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# The real program under valgrind memcheck: any definitely or indirectly lost
# block fails. The suite checks the board's start-up, teardown and end-to-end
# runs under valgrind itself.
leak-check: build
	@scripts/ensure-log-file.sh
	scripts/leak-check.sh $(BUILD)

# The four Debian packages (library, development files, tools, simulator) in
# $(PACKAGE_BUILD)/packages, checked by lintian; package-aarch64 cross-builds
# the arm64 ones for the board.
package:
	@scripts/install-deps.sh --package
	scripts/build-packages.sh $(PACKAGE_BUILD)

package-aarch64:
	@scripts/install-deps.sh --package --aarch64
	scripts/build-packages.sh --aarch64 $(PACKAGE_AARCH64_BUILD)

# Installs into a temporary folder and builds and runs examples/consumer
# against it, then against the unpacked packages.
test-install: package
	scripts/test-install.sh $(PACKAGE_BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(AARCH64_BUILD) $(FUZZ_BUILD) $(GPIOD2_BUILD) \
	  $(PACKAGE_BUILD) $(PACKAGE_AARCH64_BUILD)

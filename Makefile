# Thin wrapper over CMake. `make run` and `make test` do all set-up themselves.
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps configure build run test bench clean

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# The program always ends with exit status 1; only another status is a failure.
run: build
	@scripts/ensure-log-file.sh
	@./$(BUILD)/src/i2c-kestro-cli; status=$$?; \
	  if [ $$status -ne 1 ]; then echo "i2c-kestro-cli exited with $$status (expected 1)"; exit 1; fi

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

bench: build
	./$(BUILD)/bench/kestro-bench

clean:
	rm -rf $(BUILD)

# Quick start: `make run` and `make test`. Both install what is missing first.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: all deps build run test bench clean

all: build

deps:
	@scripts/install-deps

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: deps $(BUILD)/CMakeCache.txt
	@cmake --build $(BUILD) -j$(JOBS) -- --no-print-directory

run: build
	./$(BUILD)/fetchwell $(ARGS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

bench: build
	@bench/run-all $(BUILD)

clean:
	rm -rf $(BUILD)

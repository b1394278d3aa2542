# Quick start: `make run` and `make test`. Both install what is missing first.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: all deps test-deps asan-deps bench-deps build program run test test-configure bench
.PHONY: clean check-asan fuzz screenshot
.PHONY: install uninstall

all: build

# Each target installs only the package lists (scripts/packages/) it needs:
# building and running never pull in a server or a second compiler.
deps:
	@scripts/install-deps build
test-deps:
	@scripts/install-deps build test
asan-deps:
	@scripts/install-deps build test asan
bench-deps:
	@scripts/install-deps build bench

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

# Everything: the program, its tests (when GoogleTest is installed) and tools.
build: deps $(BUILD)/CMakeCache.txt
	@cmake --build $(BUILD) -j$(JOBS) -- --no-print-directory

# Only the program and its window module: what `make run` and `make install`
# need, built without GoogleTest or any test.
program: deps $(BUILD)/CMakeCache.txt
	@cmake --build $(BUILD) -j$(JOBS) --target fetchwell fetchwell-window -- --no-print-directory

run: program
	./$(BUILD)/fetchwell $(ARGS)

# The tests need GoogleTest: a folder configured before it was installed (by
# `make run`, say) is configured again, so that it finds it now.
test-configure: test-deps $(BUILD)/CMakeCache.txt
	@grep -qx 'FETCHWELL_GTEST:INTERNAL=ON' $(BUILD)/CMakeCache.txt || \
	  cmake -S . -B $(BUILD) -DCMAKE_DISABLE_FIND_PACKAGE_GTest=OFF

test: test-configure
	@cmake --build $(BUILD) -j$(JOBS) -- --no-print-directory
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

bench: bench-deps build
	@bench/run-all $(BUILD)

clean:
	rm -rf $(BUILD)

# For the user who runs it, under PREFIX (default ~/.local), decided here and
# not when the build was configured: `make install PREFIX=/opt/x`. The prefix
# must stay writable by that user, since the program keeps its list and
# settings in <prefix>/lib/fetchwell/. The program and its window module are
# installed stripped. `make uninstall` (same PREFIX) removes what the install
# wrote, as recorded there, and keeps the list and settings.
PREFIX ?= $(HOME)/.local

install: program
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)" --strip

uninstall:
	DESTDIR="$(DESTDIR)" cmake -DPREFIX="$(PREFIX)" -P cmake/uninstall.cmake

# The window with a few rows, rendered on Qt's offscreen platform.
screenshot: build
	@cmake --build $(BUILD) --target window_screenshot -- --no-print-directory
	QT_QPA_PLATFORM=offscreen $(BUILD)/ui/window/window_screenshot $(BUILD)/screenshot.png

# Sanitizers: the whole project built with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, every test run; the fuzz targets' corpora are
# replayed as tests there. `make fuzz` fuzzes each target for FUZZ_SECONDS.
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
SANITIZE := -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer
check-asan fuzz: export ASAN_OPTIONS ?= detect_stack_use_after_return=1:check_initialization_order=1
check-asan fuzz: export UBSAN_OPTIONS ?= print_stacktrace=1:halt_on_error=1
check-asan fuzz: export LSAN_OPTIONS ?= suppressions=$(CURDIR)/scripts/lsan.supp:print_suppressions=0

$(ASAN_BUILD)/CMakeCache.txt: | asan-deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_CXX_FLAGS="-O1 $(SANITIZE)"

check-asan: asan-deps $(ASAN_BUILD)/CMakeCache.txt
	@cmake --build $(ASAN_BUILD) -j$(JOBS) -- --no-print-directory
	cd $(ASAN_BUILD) && ctest --output-on-failure -j$(JOBS)

$(FUZZ_BUILD)/CMakeCache.txt: | asan-deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_CXX_FLAGS="-O1 $(SANITIZE) -fsanitize=fuzzer-no-link"

fuzz: asan-deps $(FUZZ_BUILD)/CMakeCache.txt
	@cmake --build $(FUZZ_BUILD) -j$(JOBS) --target fuzz-targets -- --no-print-directory
	@fuzz/run-all $(FUZZ_BUILD) $(FUZZ_SECONDS)

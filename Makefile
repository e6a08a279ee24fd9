# The front door: `make run` and `make test` work on a fresh Debian 12 machine.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
PREFIX ?= /usr/local
# The core and tambrel-pattern for 32-bit Windows; build-win64 only where 32-bit Wine
# cannot run (scripts/run-tests-windows).
WIN32_BUILD ?= build-win32
WIN64_BUILD ?= build-win64
WINDOWS_FLAGS = -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMBREL_WITH_UI=OFF -DTAMBREL_WERROR=ON \
	-DTAMBREL_LINUX_BUILD=$(abspath $(BUILD))

.PHONY: all deps configure build test run install package bench screenshots fuzz format clean \
	deps-windows windows test-windows test-asan test-tsan check-format ci soak

all: build

deps:
	@bash scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMBREL_WERROR=ON \
		$(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@bash scripts/run-tests $(BUILD)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer, window included.
test-asan:
	@$(MAKE) --no-print-directory test BUILD=$(BUILD)-asan CMAKE_FLAGS=-DTAMBREL_SANITIZE=address

# The suite without the window (and the soak's test form) under ThreadSanitizer.
test-tsan:
	@$(MAKE) --no-print-directory test BUILD=$(BUILD)-tsan \
		CMAKE_FLAGS="-DTAMBREL_SANITIZE=thread -DTAMBREL_WITH_UI=OFF"

# clang-format over the tree, and no include that climbs past the layer fence.
check-format:
	@bash scripts/check-includes
	@git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

# What CI runs on every submission (.ci/run).
ci: test check-format test-asan test-tsan
	@FUZZ_SECONDS=30 $(MAKE) --no-print-directory fuzz
	@$(MAKE) --no-print-directory test-windows

deps-windows:
	@bash scripts/install-deps windows

windows: deps-windows
	@cmake -S . -B $(WIN32_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake $(WINDOWS_FLAGS) >/dev/null
	@cmake --build $(WIN32_BUILD) -j $(JOBS)

# Under Wine; the Linux tambrel-pattern is built too, for the comparison of their outputs.
test-windows: windows configure
	@cmake --build $(BUILD) -j $(JOBS) --target tambrel-pattern tambrel_pattern_same_bytes_test
	@JOBS=$(JOBS) bash scripts/run-tests-windows $(WIN32_BUILD) $(WIN64_BUILD) $(WINDOWS_FLAGS)

run: build
	@$(BUILD)/ui/tambrel

# The programs and the desktop files under $(PREFIX) (staged under $(DESTDIR) when set).
install: build
	@DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

# A Debian package, tambrel_<version>_<arch>.deb, in $(BUILD).
package: build
	@cd $(BUILD) && cpack -G DEB

bench: build
	@$(BUILD)/bench/step_clock_jitter
	@$(BUILD)/bench/tick_cost --benchmark_min_time=0.2
	@$(BUILD)/bench/render_speed
	@if [ -x $(BUILD)/bench/jack_timing ]; then $(BUILD)/bench/jack_timing; fi
	@if [ -x $(BUILD)/bench/synth_timing ]; then $(BUILD)/bench/synth_timing; fi
	@if [ -x $(BUILD)/bench/sync_timing ]; then $(BUILD)/bench/sync_timing; fi
	@# Link only in a private network, which takes root: elsewhere it says why and is skipped.
	@if [ -x $(BUILD)/bench/link_timing ]; then $(BUILD)/bench/link_timing || [ $$? = 2 ]; fi

# A minute of the step clock under fire (bench/soak): SOAK_SECONDS=S for another length.
soak: build
	@JACK_NO_START_SERVER=1 $(BUILD)/bench/soak --seconds $(or $(SOAK_SECONDS),60)

screenshots: build
	@cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest -R screenshots --output-on-failure

fuzz: deps
	@cmake -S . -B $(BUILD)-fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DTAMBREL_FUZZ=ON -DTAMBREL_WITH_UI=OFF -DTAMBREL_TESTS=OFF -DTAMBREL_BENCH=OFF \
		-DTAMBREL_WERROR=ON >/dev/null
	@cmake --build $(BUILD)-fuzz -j $(JOBS) --target pattern_fuzz settings_fuzz
	@bash scripts/run-fuzz $(BUILD)-fuzz

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	@rm -rf $(BUILD) $(BUILD)-fuzz $(BUILD)-asan $(BUILD)-tsan $(WIN32_BUILD) $(WIN64_BUILD)

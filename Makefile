# Entry points for people and CI. Every target installs what it needs first.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= 2

PREFIX ?= /usr/local
EXAMPLE ?= $(BUILD)/example.wav

.PHONY: all deps build programs run test sanitize install format clean

all: build

deps:
	./scripts/install-deps

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j$(JOBS)

# Only the programs, without the tests: the quickest way to a first run.
programs: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j$(JOBS) --target beacondec beaconsim beaconscan

# The main job: show what the programs do. beaconsim makes a recording of
# three beacon frames a minute apart at -15 dB, and beacondec decodes it.
run: programs
	$(BUILD)/src/driver/beaconsim -m OZ7IGY/B -n 3 --snr -15 $(EXAMPLE)
	$(BUILD)/src/driver/beacondec $(EXAMPLE)

test: build
	ctest --test-dir $(BUILD) -j$(JOBS) --output-on-failure

# The same tests built with AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBEACON_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	    ctest --test-dir $(ASAN_BUILD) -j$(JOBS) --output-on-failure

# The same tests built with ThreadSanitizer: beaconscan decodes on several
# threads, and its command-line tests run it so. The allocator must be able
# to fail, as one test makes it.
TSAN_BUILD ?= build-tsan
.PHONY: tsan
tsan: deps
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBEACON_SANITIZE_THREAD=ON
	cmake --build $(TSAN_BUILD) -j$(JOBS)
	TSAN_OPTIONS=halt_on_error=1:allocator_may_return_null=1 \
	    ctest --test-dir $(TSAN_BUILD) -j$(JOBS) --output-on-failure

install: programs
	cmake --install $(BUILD) --prefix $(PREFIX)

# clang-format over the C++ sources (never over CMake or scripts).
format:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)

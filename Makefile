# Entry points for people and CI. Every target installs what it needs first.
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
JOBS ?= 2
# Seconds per fuzz target for `make fuzz` (CI's `make fuzz-smoke` gives each 15).
FUZZ_SECONDS ?= 600

PREFIX ?= /usr/local
EXAMPLE ?= $(BUILD)/example.wav

.PHONY: all deps build programs run test sanitize tsan install valgrind fuzz-build fuzz fuzz-smoke format clean

all: build

deps:
	./scripts/install-deps

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j$(JOBS)

# Only the programs, without the tests: the quickest way to a first run.
programs: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j$(JOBS) --target beacondec beaconsim beaconscan beaconplot

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
# threads and beacondec searches on two, and their tests run them so. The
# allocator must be able to fail, as one test makes it.
tsan: deps
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBEACON_SANITIZE_THREAD=ON
	cmake --build $(TSAN_BUILD) -j$(JOBS)
	TSAN_OPTIONS=halt_on_error=1:allocator_may_return_null=1 \
	    ctest --test-dir $(TSAN_BUILD) -j$(JOBS) --output-on-failure

install: programs
	cmake --install $(BUILD) --prefix $(PREFIX)

# End-to-end decoding (recordings at several rates, depths and channel counts)
# and the error paths of bad files, every beacondec run under memcheck. Any
# report fails: a run with an error exits with 99, which its test sees, and
# the logs must be empty.
VALGRIND_TESTS = Decode.OneFrameWithDiagnostics Decode.AnyRateDepthAndChannelCount \
    BadInput.FilesThatCannotBeRead BadInput.BrokenHeaders BadInput.InvalidFormatFields \
    BadInput.DataSizesAndLengths
empty :=
space := $(empty) $(empty)
valgrind: build
	./scripts/install-deps valgrind
	rm -rf $(BUILD)/valgrind && mkdir -p $(BUILD)/valgrind
	valgrind -q --trace-children=yes --error-exitcode=99 --leak-check=full \
	    --errors-for-leak-kinds=definite,indirect --log-file=$(BUILD)/valgrind/%p.log \
	    $(BUILD)/tests/cli/cli_test --gtest_filter='$(subst $(space),:,$(strip $(VALGRIND_TESTS)))' \
	    || { cat $(BUILD)/valgrind/*.log; exit 1; }
	@if grep -q . $(BUILD)/valgrind/*.log; then cat $(BUILD)/valgrind/*.log; exit 1; fi
	@echo "valgrind: $$(ls $(BUILD)/valgrind | wc -l) processes, no report"

# The libFuzzer targets of fuzz/, built with clang and the sanitizers.
fuzz-build:
	./scripts/install-deps clang libclang-rt-14-dev
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBEACON_FUZZ=ON -DBEACON_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j$(JOBS)

# Each target in turn for FUZZ_SECONDS; the corpora grow in $(FUZZ_BUILD)/corpus.
fuzz: fuzz-build
	fuzz/run-fuzzers $(FUZZ_BUILD) $(FUZZ_SECONDS)

# A short run of every target, for CI.
fuzz-smoke: fuzz-build
	fuzz/run-fuzzers $(FUZZ_BUILD) 15

# clang-format over the C++ sources (never over CMake or scripts).
format:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)

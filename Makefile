# Entry points for people and CI. Every target installs what it needs first.
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
JOBS ?= 2
# Seconds per fuzz target for `make fuzz` (`make fuzz-smoke` gives each 5).
FUZZ_SECONDS ?= 600

PREFIX ?= /usr/local
EXAMPLE ?= $(BUILD)/example.wav

# Developer and CI builds stop at any warning; a user's plain cmake does not.
DEV_FLAGS = -DBEACON_WERROR=ON
# The sanitizer builds: line tables are all their reports need, and -O1
# compiles in half the time of -O2 -g for tests that run nearly as fast.
SAN_FLAGS = -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1" $(DEV_FLAGS)

.PHONY: all deps build programs run test sanitize tsan install valgrind fuzz-build fuzz fuzz-smoke format format-check clean

all: build

deps:
	./scripts/install-deps

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(DEV_FLAGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j$(JOBS)

# Only the programs, without the tests: the quickest way to a first run.
programs: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j$(JOBS) --target beacondec beaconsim beaconscan beaconplot

# The main job: show what the programs do. beaconsim makes a recording of
# three beacon frames a minute apart at -15 dB, and beacondec decodes it.
run: programs
	$(BUILD)/apps/beaconsim/beaconsim -m OZ7IGY/B -n 3 --snr -15 $(EXAMPLE)
	$(BUILD)/apps/beacondec/beacondec $(EXAMPLE)

test: build
	ctest --test-dir $(BUILD) -j$(JOBS) --output-on-failure

# The same tests built with AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DBEACON_SANITIZE=ON $(SAN_FLAGS)
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	    ctest --test-dir $(ASAN_BUILD) -j$(JOBS) --output-on-failure

# The tests that start threads (label "threads": the search's second thread,
# the worker pools, the MQTT publisher; and label "memcheck": the programs,
# beaconscan's workers among them), built with ThreadSanitizer. The
# allocator must be able to fail, as one test makes it. tests/tsan.supp
# holds what libmosquitto (not instrumented) does that is no fault of ours.
tsan: deps
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DBEACON_SANITIZE_THREAD=ON $(SAN_FLAGS)
	cmake --build $(TSAN_BUILD) -j$(JOBS) --target threads_tests
	TSAN_OPTIONS=halt_on_error=1:allocator_may_return_null=1:suppressions=$(CURDIR)/tests/tsan.supp \
	    ctest --test-dir $(TSAN_BUILD) -j$(JOBS) -L 'threads|memcheck' --output-on-failure --no-tests=error

install: programs
	cmake --install $(BUILD) --prefix $(PREFIX)

# The end-to-end tests (label "memcheck": every program run on recordings and
# broken files) with each program under valgrind memcheck. The tests start
# the programs through BEACON_TEST_WRAPPER; a run with an error exits with 99,
# which its test sees, and any report in the logs fails too.
VALGRIND = valgrind -q --error-exitcode=99 --leak-check=full \
    --errors-for-leak-kinds=definite,indirect --log-file=$(abspath $(BUILD))/valgrind/%p.log
valgrind: build
	./scripts/install-deps valgrind
	rm -rf $(BUILD)/valgrind && mkdir -p $(BUILD)/valgrind
	BEACON_TEST_WRAPPER="$(VALGRIND)" ctest --test-dir $(BUILD) -j$(JOBS) -L memcheck \
	    --output-on-failure --no-tests=error || { cat $(BUILD)/valgrind/*.log; exit 1; }
	@if grep -q . $(BUILD)/valgrind/*.log; then cat $(BUILD)/valgrind/*.log; exit 1; fi
	@echo "valgrind: $$(ls $(BUILD)/valgrind | wc -l) processes, no report"

# The libFuzzer targets of fuzz/, built with clang and the sanitizers.
fuzz-build:
	./scripts/install-deps clang libclang-rt-14-dev
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBEACON_FUZZ=ON -DBEACON_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target fuzzers

# Each target in turn for FUZZ_SECONDS; the corpora grow in $(FUZZ_BUILD)/corpus.
fuzz: fuzz-build
	fuzz/run-fuzzers $(FUZZ_BUILD) $(FUZZ_SECONDS)

# A short run of every target: shows that the libFuzzer build works. (CI runs
# the same targets over their seeds in `make sanitize`, without clang.)
fuzz-smoke: fuzz-build
	fuzz/run-fuzzers $(FUZZ_BUILD) 5

# clang-format over the C++ sources (never over CMake or scripts), and the
# check that CI runs: any file that clang-format would change fails it.
format:
	./scripts/install-deps clang-format
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

format-check:
	./scripts/install-deps clang-format
	git ls-files '*.cpp' '*.hpp' | xargs clang-format --dry-run -Werror

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)

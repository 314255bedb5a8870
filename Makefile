# Entry points for people and CI. Every target installs what it needs first.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= 2

.PHONY: all deps build run test sanitize bench format clean

all: build

deps:
	./scripts/install-deps

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j$(JOBS)

# The main job: show what the program does.
run: build
	$(BUILD)/src/driver/beacondec -h

test: build
	ctest --test-dir $(BUILD) -j$(JOBS) --output-on-failure

# The same tests built with AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBEACON_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	    ctest --test-dir $(ASAN_BUILD) -j$(JOBS) --output-on-failure

# clang-format over the C++ sources (never over CMake or scripts).
format:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)

# Thin wrapper over CMake: `make run` builds the tool and exports the bundled
# sample game folder; `make test` builds with warnings as errors and runs all
# tests, then again under AddressSanitizer and UndefinedBehaviorSanitizer.

BUILD      ?= build
TEST_BUILD ?= build-test
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
SAMPLE     := $(abspath $(BUILD))/sample-game

.PHONY: all run test test-plain test-asan clean

all:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DRAWGRAFT_TESTS=OFF
	cmake --build $(BUILD) -j $(JOBS)

run: all
	$(BUILD)/tools/make_sample_game $(SAMPLE)
	cd $(SAMPLE) && $(abspath $(BUILD))/rawgraft 1 export -

test: test-plain test-asan

test-plain:
	cmake -S . -B $(TEST_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRAWGRAFT_WERROR=ON
	cmake --build $(TEST_BUILD) -j $(JOBS)
	cd $(TEST_BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DRAWGRAFT_WERROR=ON -DRAWGRAFT_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD) $(TEST_BUILD) $(ASAN_BUILD)

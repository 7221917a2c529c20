# Thin wrapper over CMake: `make run` builds the tool and exports the bundled
# sample game folder; `make test` builds with warnings as errors and runs all
# tests, then again (less the slow ones) under AddressSanitizer and
# UndefinedBehaviorSanitizer, checks the install and, where MinGW-w64 and Wine
# are installed, tests the Windows build; `make fuzz` runs every fuzz target
# for a minute; `make dist` builds the release archives for Linux and Windows.

BUILD      ?= build
TEST_BUILD ?= build-test
ASAN_BUILD ?= build-asan
WIN_BUILD  ?= build-win
WIN_TEST_BUILD ?= build-test-windows
DIST       ?= build-dist
FUZZ_BUILD ?= build-fuzz
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
SAMPLE     := $(abspath $(BUILD))/sample-game
VERSION    := $(shell sed -n 's/^project(rawgraft VERSION \([^ )]*\).*/\1/p' CMakeLists.txt)

.PHONY: all run dist dist-windows test test-plain test-asan test-install test-windows fuzz clean

# The Windows build is tested too where its cross compiler and Wine are
# installed; the Wine launcher is the one that knows where Wine is.
WINDOWS_TOOLS := $(shell command -v x86_64-w64-mingw32-g++-posix >/dev/null && \
                   tests/windows/run_under_wine.sh --check 2>/dev/null && echo yes)

all:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DRAWGRAFT_TESTS=OFF
	cmake --build $(BUILD) -j $(JOBS)

run: all
	$(BUILD)/tools/make_sample_game $(SAMPLE)
	cd $(SAMPLE) && $(abspath $(BUILD))/rawgraft 1 export -

# Release archives, in $(DIST): rawgraft-<version>-linux-x86_64.tar.gz with the
# binary, manual page, player's guide and licence, and
# rawgraft-<version>-win64.zip with the static rawgraft.exe, the player's guide
# as README.txt, and LICENSE.
dist: all dist-windows
	cd $(BUILD) && cpack -B $(abspath $(DIST))

dist-windows:
	cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DRAWGRAFT_WERROR=ON -DRAWGRAFT_TESTS=OFF
	cmake --build $(WIN_BUILD) -j $(JOBS) --target rawgraft
	cd $(WIN_BUILD) && cpack -B $(abspath $(DIST))

test: test-plain test-asan test-install
ifeq ($(WINDOWS_TOOLS),yes)
	$(MAKE) test-windows
else
	@echo "Windows tests skipped: g++-mingw-w64-x86-64-posix or wine64 is not installed"
endif

test-plain:
	cmake -S . -B $(TEST_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRAWGRAFT_WERROR=ON -DRAWGRAFT_WINDOWS_EXE=
	cmake --build $(TEST_BUILD) -j $(JOBS)
	cd $(TEST_BUILD) && ctest --output-on-failure -j $(JOBS)

# The tests labelled slow (see tests/CMakeLists.txt) run in test-plain only.
test-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DRAWGRAFT_WERROR=ON -DRAWGRAFT_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS) -LE slow

# The installed binary runs on its own, the player's guide is installed where
# the manual page says, and the manual page is well-formed.
test-install: test-plain
	rm -rf $(TEST_BUILD)/installed $(TEST_BUILD)/installed-game
	cmake --install $(TEST_BUILD) --prefix $(abspath $(TEST_BUILD))/installed
	$(TEST_BUILD)/tools/make_sample_game $(abspath $(TEST_BUILD))/installed-game >/dev/null
	cd $(TEST_BUILD)/installed-game && $(abspath $(TEST_BUILD))/installed/bin/rawgraft 1 export - 2>/dev/null | grep -q '^====END====$$'
	@cmp -s $(TEST_BUILD)/installed/share/doc/rawgraft/README doc/players.md && \
	  grep -q '^\.B share/doc/rawgraft/README$$' $(TEST_BUILD)/installed/share/man/man1/rawgraft.1 || \
	  { echo "install check: share/doc/rawgraft/README is not doc/players.md, or the manual page does not name it"; exit 1; }
	@warnings=$$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l $(TEST_BUILD)/installed/share/man/man1/rawgraft.1 2>&1 >/dev/null); \
	if [ -n "$$warnings" ]; then echo "$$warnings"; exit 1; fi
	@echo "install check: passed"

# Cross-builds rawgraft.exe and its zip, runs the end-to-end tests against it
# under Wine, then the exe unpacked from the zip; Wine's server is stopped
# afterwards. The Linux tests it runs them with are built in a folder of
# their own, so that test-plain's build is never configured for Wine.
test-windows: dist-windows
	cmake -S . -B $(WIN_TEST_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRAWGRAFT_WERROR=ON \
	  -DRAWGRAFT_WINDOWS_EXE=$(abspath $(WIN_BUILD))/rawgraft.exe
	cmake --build $(WIN_TEST_BUILD) -j $(JOBS) --target rawgraft_e2e_tests make_sample_game
	cd $(WIN_TEST_BUILD) && ctest --output-on-failure -R '^windows_' && \
	  $(CURDIR)/tests/windows/check_zip.sh $(abspath $(DIST))/rawgraft-$(VERSION)-win64.zip \
	    $(abspath $(WIN_TEST_BUILD))/tools/make_sample_game; status=$$?; \
	  $(CURDIR)/tests/windows/run_under_wine.sh --stop; exit $$status

# A short run of every fuzz target under the sanitizers (fuzz/README.md);
# it installs clang and its fuzzer runtime where missing.
fuzz:
	bash fuzz/run.sh $(FUZZ_BUILD) 60

clean:
	rm -rf $(BUILD) $(TEST_BUILD) $(ASAN_BUILD) $(WIN_BUILD) $(WIN_TEST_BUILD) $(DIST) $(FUZZ_BUILD)

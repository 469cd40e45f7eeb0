# The two commands of this project:
#   make check   installs what is missing, builds, runs every test, then runs
#                them again in a build with AddressSanitizer and UBSan, then
#                builds for Windows and runs the Windows tests under Wine
#   make demo    builds and runs the demonstration (see README.md)
# Smaller steps: make deps, make build, make test, make asan.
# The Windows build: make windows (the programs in build-win/, cross-built
# with mingw-w64), make windows-check (its tests under Wine, and the Windows
# programs against the servers of the Linux tests).

BUILD      ?= build
ASAN_BUILD ?= build-asan
WIN_BUILD  ?= build-win
JOBS       ?= $(shell nproc)
CMAKE_GEN  := -G Ninja
SAN_ENV    := ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1 \
              UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

.PHONY: all check demo deps build test asan windows windows-check clean

all: build

deps:
	@missing=""; \
	for p in $$(sed -e 's/#.*//' .ci/debian-packages); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing Debian packages:$$missing"; \
	  apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

asan: deps
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DSKYVANE_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && $(SAN_ENV) ctest --output-on-failure -j $(JOBS)

check: test asan windows-check

# minizip and GLFW come from Debian's source packages, fetched and built into
# $(WIN_BUILD)/deps once (cmake/fetch-win-deps.sh).
windows: deps
	JOBS=$(JOBS) cmake/fetch-win-deps.sh $(WIN_BUILD)
	cmake -S . -B $(WIN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
	cmake --build $(WIN_BUILD) -j $(JOBS)

# The Windows tests run under Wine (ctest's emulator, $(WIN_BUILD)/wine-run.sh);
# the end-to-end tests of the Windows programs are Linux tests (they start
# nginx), built in $(BUILD) when it is told where the Windows build is.
windows-check: windows
	cd $(WIN_BUILD) && ctest --output-on-failure -j $(JOBS)
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKYVANE_WINDOWS_BUILD=$(CURDIR)/$(WIN_BUILD)
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -L windows

demo: build
	tools/demo/run-demo.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(WIN_BUILD)

# The two commands a newcomer runs:
#   make demo   the typical job on a built-in simulated machine
#   make test   every build and every test (unit, fuzz, Wine)
# Also:
#   make test-wine  the real DLL alone: its build, its checks and its Wine cases
#   make dist   the folder and zip for a Windows machine, in build/win32/dist
#   make install  zevmon, its manual page and its bash completion, under PREFIX
# zevmon for everyday use: build/release/tools/zevmon/zevmon (make release).
.PHONY: demo release install bench dist test test-wine wine-guest deps-host deps-all host win32 fuzz tsan test-host test-win32 test-fuzz test-tsan clean

# The demo runs zevmon as a user runs it: optimised and without sanitizers,
# which the tests keep (build/host).
demo: deps-host
	cmake --preset release
	cmake --build --preset release
	./build/release/tools/zevmon/zevmon demo

test: deps-all wine-guest host win32 fuzz tsan test-host test-fuzz test-tsan test-win32

# For a change to the DLL alone.
test-wine: deps-all wine-guest win32 test-win32

# Where this machine's kernel runs no 32-bit programs, the Wine cases run in a
# virtual machine. Its image is made once (cached in ~/.cache) while the
# builds go on; the Wine tests wait for it.
wine-guest:
	@if [ "$$(./scripts/wine-where.sh)" = guest ]; then \
	    mkdir -p build && ./scripts/wine-guest-image.sh make --background build/wine-guest-image.log; fi

release: deps-host
	cmake --preset release
	cmake --build --preset release

# From the release build, into PREFIX; a package's staging folder, DESTDIR,
# goes before every path.
PREFIX ?= /usr/local
install: release
	DESTDIR="$(DESTDIR)" cmake --install build/release --prefix "$(PREFIX)"

# Benchmarks, optimised and without sanitizers (not part of make test).
# Options pass through, e.g. make bench BENCH_ARGS=--benchmark_repetitions=5
BENCH_ARGS ?=
bench: deps-host
	cmake --preset bench
	cmake --build --preset bench --target monitor_bench
	./build/bench/bench/monitor_bench $(BENCH_ARGS)
	cmake --build --preset bench --target zevmon
	./bench/print-through-queue.sh ./build/bench/tools/zevmon/zevmon

# The package for a Windows 95/98/Me machine (docs/windows-machine.md, "From the zip to a printed page").
dist: deps-all
	cmake --preset win32
	cmake --build --preset win32 --target dist
	@ls -l build/win32/dist/*.zip

deps-host:
	./scripts/install-deps.sh host

deps-all:
	./scripts/install-deps.sh all

# Each build has a CMake preset of its own name, and so does its test run.
host win32 fuzz tsan:
	cmake --preset $@
	cmake --build --preset $@

test-host test-fuzz test-tsan:
	ctest --preset $(@:test-%=%)

# Ends with where the Wine cases ran: natively, in the virtual machine, or
# skipped and why.
test-win32:
	@status=0; ctest --preset win32 || status=$$?; cat build/win32/wine/summary 2>/dev/null; exit $$status

clean:
	rm -rf build

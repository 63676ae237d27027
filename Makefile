# The two commands a newcomer runs:
#   make demo   the typical job on a built-in simulated machine
#   make test   every build and every test (unit, fuzz, Wine)
# Also:
#   make dist   the folder and zip for a Windows machine, in build/win32/dist
.PHONY: demo bench dist test deps-host deps-all host win32 fuzz tsan test-host test-win32 test-fuzz test-tsan clean

demo: deps-host host
	./build/host/tools/zevmon/zevmon demo

test: deps-all host win32 fuzz tsan test-host test-fuzz test-tsan test-win32

# Benchmarks, optimised and without sanitizers (not part of make test).
# Options pass through, e.g. make bench BENCH_ARGS=--benchmark_repetitions=5
BENCH_ARGS ?=
bench: deps-host
	cmake --preset bench
	cmake --build --preset bench --target monitor_bench
	./build/bench/bench/monitor_bench $(BENCH_ARGS)

# The package for a Windows 95/98/Me machine (README.md, "From the zip to a printed page").
dist: deps-all
	cmake --preset win32
	cmake --build --preset win32 --target dist
	@ls -l build/win32/dist/*.zip

deps-host:
	./scripts/install-deps.sh host

deps-all:
	./scripts/install-deps.sh all

host:
	cmake --preset host
	cmake --build --preset host

win32:
	cmake --preset win32
	cmake --build --preset win32

fuzz:
	cmake --preset fuzz
	cmake --build --preset fuzz

tsan:
	cmake --preset tsan
	cmake --build --preset tsan

test-host:
	ctest --preset host

test-fuzz:
	ctest --preset fuzz

test-tsan:
	ctest --preset tsan

test-win32:
	ctest --preset win32

clean:
	rm -rf build

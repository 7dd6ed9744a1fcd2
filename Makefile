# The two commands a newcomer needs:
#   make run   builds Rousel and starts it in this terminal
#   make test  builds everything and runs every test
# Both install missing Debian packages first when run as root, and otherwise
# say exactly what is missing.

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# No "Entering directory" lines, here or in the builds CMake's make runs.
MAKEFLAGS += --no-print-directory

.PHONY: run build test test-windows test-vm deps-vm package bench fuzz tsan mutants deps-fuzz deps-tsan deps-run deps-test deps-windows deps-windows-build deps-package deps-bench deps-mutants format format-check tidy clean

run: deps-run
	cmake --preset release -DROUSEL_TESTS=OFF >/dev/null
	cmake --build --preset release --target rousel rousel-keydump -j $(JOBS)
	./build/release/rousel

build: deps-run
	cmake --preset dev >/dev/null
	cmake --build --preset dev -j $(JOBS)

test: deps-test
	cmake --preset ci >/dev/null
	cmake --build --preset ci -j $(JOBS)
	@rm -f build/ci/Testing/results.xml
	ctest --preset ci -j $(JOBS); status=$$?; python3 scripts/test-ratio.py; \
	  python3 scripts/test-summary.py build/ci/Testing/results.xml; exit $$status

# The two Windows builds (MinGW-w64), their import tables, and the
# end-to-end scenarios against rousel.exe under Wine.
test-windows: deps-windows
	scripts/windows-tests.sh

deps-windows:
	@scripts/deps.sh windows

deps-windows-build:
	@scripts/deps.sh windows-build
# The program on the Linux virtual console of a virtual machine (QEMU
# without KVM) with a PC speaker: about two minutes, one boot; tests/vm/.
test-vm: deps-vm
	cmake --preset ci >/dev/null
	cmake --build --preset ci --target rousel rousel-keydump -j $(JOBS)
	ctest --preset ci -R '^vm_' --verbose

deps-vm:
	@scripts/deps.sh vm

# The Debian package in build/package/, built with the distribution's
# build flags (the Windows zip: cmake --build <windows build> --target package).
package: deps-package
	packaging/build-package.sh build/package $(JOBS)

deps-package:
	@scripts/deps.sh package

# Waiting, ringing, typing and starting costs, private memory, output per
# redraw and micro benchmarks, each beside a reference measured in the same
# run (bench/README.md).  BENCH_ARGS passes options to bench/run.sh, for
# instance --readme (the table into bench/README.md) or --quick.
BENCH_ARGS ?=
bench: deps-bench
	bench/run.sh $(BENCH_ARGS)

deps-bench:
	@scripts/deps.sh bench

# Each libFuzzer target for FUZZ_SECONDS (clang), from the seed corpora.
FUZZ_SECONDS ?= 60
fuzz: deps-fuzz
	scripts/fuzz.sh $(FUZZ_SECONDS)

# The unit tests, the stand-in's tests and a few scenarios under ThreadSanitizer.
tsan: deps-tsan
	scripts/tsan.sh

# Planted faults: single mutants of app/, console/, win32/ and standin/, at most
# MUTANTS_MAX per folder (0: all), drawn with MUTANTS_SEED; the share the
# tests kill, per folder (tests/README.md).  MUTANTS_ARGS passes more options,
# for instance --files 'app/*' or --no-e2e.
MUTANTS_MAX ?= 40
MUTANTS_SEED ?= 1
MUTANTS_ARGS ?=
mutants: deps-mutants
	python3 scripts/mutants.py --max $(MUTANTS_MAX) --seed $(MUTANTS_SEED) $(MUTANTS_ARGS)

deps-mutants:
	@scripts/deps.sh mutants

deps-fuzz:
	@scripts/deps.sh fuzz

deps-tsan:
	@scripts/deps.sh tsan

deps-run:
	@scripts/deps.sh run

deps-test:
	@scripts/deps.sh test

SOURCES = $(shell git ls-files '*.cpp' '*.h' '*.c' 2>/dev/null)

format:
	clang-format -i $(SOURCES)

format-check:
	clang-format --dry-run --Werror $(SOURCES)

tidy: build
	scripts/tidy.sh build/dev

clean:
	rm -rf build

# The Windows zips, 64-bit and 32-bit (MinGW-w64): rousel.exe, a README.txt
# for Windows users and the LICENSE, in build/windows-x64 and
# build/windows-x86.
.PHONY: package-windows
package-windows: deps-windows-build
	for preset in windows-x64 windows-x86; do \
	  cmake --preset $$preset >/dev/null && \
	  cmake --build build/$$preset --target package -j $(JOBS) || exit 1; \
	done

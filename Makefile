# KorvaleNoQuorVallin: the two commands that matter on a fresh Debian 12 machine
#   make run   install what is missing, build, run the program under Wine
#   make test  install what is missing, build, pass every test tier
#   make demo  a simulated infection under Wine, from detection to restore

SHELL := /bin/bash
BUILD ?= build
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 5
TOOLCHAIN := cmake/mingw-i686.cmake
# Runs a recipe that needs 32-bit Wine only where this host can run 32-bit
# programs; elsewhere one line says why, and the recipe is skipped (exit 77),
# or fails with REQUIRE_WINE=1.
WINE_ONLY := scripts/wine-only.sh
# Where the host check runs its probe when TMPDIR does not let programs run.
export KORVALE_PROBE_FOLDER = $(abspath $(BUILD))

.PHONY: all deps build native win wintest run demo test test-native test-images test-wine test-e2e test-pe test-repro test-fuzz fuzz-long fuzz-seeds bench bench-passes bench-scan bench-cleanup dist clean

all: build

deps:
	@scripts/install-deps.sh

native:
	cmake -S . -B $(BUILD)/native -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BUILD)/native -j $(JOBS)

win:
	cmake -S . -B $(BUILD)/win -DCMAKE_TOOLCHAIN_FILE=$(TOOLCHAIN) -DMINGW_THREADS=win32 >/dev/null
	cmake --build $(BUILD)/win -j $(JOBS)

wintest:
	cmake -S . -B $(BUILD)/wintest -DCMAKE_TOOLCHAIN_FILE=$(TOOLCHAIN) -DMINGW_THREADS=posix >/dev/null
	cmake --build $(BUILD)/wintest -j $(JOBS)

# The Wine tests' binaries are built only where Wine can run them.
build: deps native win
	@$(WINE_ONLY) wintest $(MAKE) --no-print-directory wintest || [ $$? -eq 77 ]

run: deps win
	@scripts/host-check.sh
	scripts/run-under-wine.sh $(BUILD)/win/KorvaleNoQuorVallin.exe

# A simulated infection in a throwaway Wine prefix, run by a build of the
# program with the Wine tests' stand-ins (demo/demo.py). SCENARIO=
# data-stream (the default), driver-file, clean, not-removed or switches;
# DEMO_ANSWER=y or n answers the program's question (needed without a
# terminal). It builds what it runs itself, quietly.
SCENARIO ?= data-stream
DEMO_ANSWER ?=
demo: deps
	@/usr/bin/python3 demo/demo.py $(BUILD) $(JOBS) '$(SCENARIO)' '$(DEMO_ANSWER)'

# The Wine tier builds the Wine tests' binaries itself, where Wine runs.
test: deps native win
	@scripts/run-tiers.sh $(BUILD) $(FUZZ_SECONDS)

test-native: deps native
	cd $(BUILD)/native && ctest --output-on-failure -R '^native$$'

test-images: deps native
	cd $(BUILD)/native && ctest --output-on-failure -R '^images$$'

test-wine: deps win
	@$(WINE_ONLY) wine bash -c '$(MAKE) --no-print-directory wintest && tests/wine/run.sh $(BUILD)' || [ $$? -eq 77 ]

test-e2e: deps win
	@$(WINE_ONLY) e2e bash -c '$(MAKE) --no-print-directory wintest && tests/e2e/run.sh $(BUILD)/win/KorvaleNoQuorVallin.exe $(BUILD)/wintest/TestDiskHooked.sys' || [ $$? -eq 77 ]

test-pe: deps win
	/usr/bin/python3 tests/pe/check_binaries.py $(BUILD)/win

test-repro: deps
	scripts/check-reproducible.sh

test-fuzz: deps
	scripts/fuzz.sh $(BUILD)/fuzz $(FUZZ_SECONDS)

# Deeper fuzzing by hand: ten minutes a target (or FUZZ_SECONDS=...).
fuzz-long: deps
	scripts/fuzz.sh $(BUILD)/fuzz $(if $(filter command line environment,$(origin FUZZ_SECONDS)),$(FUZZ_SECONDS),600)

# Remakes the fuzz targets' seed corpora in tests/fuzz/seeds from real inputs.
fuzz-seeds: deps native
	scripts/make-fuzz-seeds.sh $(BUILD)/native

# Raw copy loop against icat and cat on a 64 MiB fragmented file in an NTFS image.
bench: deps native
	scripts/with-scratch.sh $(BUILD)/native/rawread_bench

# The scan's passes other than the raw reads, timed natively.
bench-passes: deps native
	scripts/with-scratch.sh $(BUILD)/native/scan_passes

bench-scan: deps win
	@scripts/host-check.sh
	$(MAKE) --no-print-directory wintest
	scripts/bench-scan.sh $(BUILD)

bench-cleanup: deps win
	@scripts/host-check.sh
	bench/cleanup.sh $(BUILD)

dist: deps win
	rm -rf dist && mkdir -p dist
	cp $(BUILD)/win/KorvaleNoQuorVallin.exe $(BUILD)/win/KorvaleNoQuorVallin.sys dist/
	cd dist && sha256sum KorvaleNoQuorVallin.exe KorvaleNoQuorVallin.sys > SHA256SUMS
	cat dist/SHA256SUMS

clean:
	rm -rf $(BUILD) dist

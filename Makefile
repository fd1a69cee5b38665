# KorvaleNoQuorVallin: the two commands that matter on a fresh Debian 12 machine
#   make run   install what is missing, build, run the program under Wine
#   make test  install what is missing, build, pass every test tier

SHELL := /bin/bash
BUILD ?= build
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 5
TOOLCHAIN := cmake/mingw-i686.cmake

.PHONY: all deps build native win wintest run test test-native test-images test-wine test-e2e test-pe test-repro test-fuzz bench bench-scan bench-cleanup dist clean

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

build: deps native win wintest

run: deps win
	scripts/run-under-wine.sh $(BUILD)/win/KorvaleNoQuorVallin.exe

test: build
	@scripts/run-tiers.sh $(BUILD) $(FUZZ_SECONDS)

test-native: deps native
	cd $(BUILD)/native && ctest --output-on-failure -R '^native$$'

test-images: deps native
	cd $(BUILD)/native && ctest --output-on-failure -R '^images$$'

test-wine: deps win wintest
	tests/wine/run.sh $(BUILD)

test-e2e: deps win wintest
	tests/e2e/run.sh $(BUILD)/win/KorvaleNoQuorVallin.exe $(BUILD)/wintest/TestDiskHooked.sys

test-pe: deps win
	/usr/bin/python3 tests/pe/check_binaries.py $(BUILD)/win

test-repro: deps
	scripts/check-reproducible.sh

test-fuzz: deps
	scripts/fuzz.sh $(BUILD)/fuzz $(FUZZ_SECONDS)

# Raw copy loop against icat and cat on a 64 MiB fragmented file in an NTFS image.
bench: deps native
	$(BUILD)/native/rawread_bench

bench-scan: deps win wintest
	scripts/bench-scan.sh $(BUILD)

bench-cleanup: deps win wintest
	bench/cleanup.sh $(BUILD)

dist: deps win
	rm -rf dist && mkdir -p dist
	cp $(BUILD)/win/KorvaleNoQuorVallin.exe $(BUILD)/win/KorvaleNoQuorVallin.sys dist/
	cd dist && sha256sum KorvaleNoQuorVallin.exe KorvaleNoQuorVallin.sys > SHA256SUMS
	cat dist/SHA256SUMS

clean:
	rm -rf $(BUILD) dist

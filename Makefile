# Set-up commands for a fresh Debian 12 machine:
#   make test                 install dependencies, build with sanitizers, run every test suite
#   make preview FILE=archive write preview.html for an archive (without FILE: a sample archive)
#   make build                optimised build of the programs
#   make bench                benchmarks (optimised build); rewrites docs/benchmarks.md and its plot
#   make install [PREFIX=/usr/local] [DESTDIR=/staging]
#                             the optimised build installed: the application in PREFIX/lib/tessaro,
#                             tessaro and qlhost in PREFIX/bin, desktop entries, man pages,
#                             completions; registered with the desktop when DESTDIR is empty
#   make uninstall [PREFIX=...] [DESTDIR=...]
#                             removes what the last make install put in place (its manifest)

JOBS ?= 2
TEST_DIR := build/test
RELEASE_DIR := build/release
CMAKE_GENERATOR := -G Ninja
PREFIX ?= /usr/local
DESTDIR ?=

.PHONY: all deps build test bench preview install uninstall clean

all: build

deps:
	./scripts/install-deps

$(TEST_DIR)/build.ninja:
	cmake -S . -B $(TEST_DIR) $(CMAKE_GENERATOR) -DCMAKE_BUILD_TYPE=Debug \
	  -DTESSARO_SANITIZE=ON -DTESSARO_WERROR=ON -DTESSARO_BUILD_TESTS=ON

$(RELEASE_DIR)/build.ninja:
	cmake -S . -B $(RELEASE_DIR) $(CMAKE_GENERATOR) -DCMAKE_BUILD_TYPE=Release \
	  -DTESSARO_BUILD_TESTS=OFF -DTESSARO_BUILD_BENCH=ON

test: deps $(TEST_DIR)/build.ninja
	cmake --build $(TEST_DIR) -j$(JOBS)
	cd $(TEST_DIR) && ctest --output-on-failure -j$(JOBS)

build: deps $(RELEASE_DIR)/build.ninja
	cmake --build $(RELEASE_DIR) -j$(JOBS)

bench: build
	./bench/run.sh $(RELEASE_DIR)

# The page goes next to the archive when that folder is writable, else into the current folder.
PREVIEW_ARCHIVE = $(if $(FILE),$(FILE),$(RELEASE_DIR)/sample/sample.tar.gz)

preview: deps $(RELEASE_DIR)/build.ninja
	cmake --build $(RELEASE_DIR) -j$(JOBS) --target qlhost TessaroQL tessaro_sample
	@archive='$(subst ','\'',$(PREVIEW_ARCHIVE))'; \
	if [ ! -e "$$archive" ]; then echo "make preview: no such file: $$archive" >&2; exit 1; fi; \
	folder=$$(dirname -- "$$archive"); \
	if [ -w "$$folder" ]; then page="$$folder/preview.html"; else page="$$(pwd)/preview.html"; fi; \
	$(RELEASE_DIR)/Tessaro.app/Contents/MacOS/qlhost -o "$$page" -- "$$archive" && realpath -- "$$page"

install: build
	DESTDIR='$(DESTDIR)' cmake --install $(RELEASE_DIR) --prefix '$(PREFIX)'

uninstall:
	DESTDIR='$(DESTDIR)' cmake -DMANIFEST=$(RELEASE_DIR)/install_manifest.txt -DPREFIX='$(PREFIX)' \
	  -P cmake/Uninstall.cmake

clean:
	rm -rf build

# make fuzz [SECONDS=60] [FUZZ_DIR=build-fuzz]: a clang build of the libFuzzer targets in
# tests/fuzz, each run for SECONDS; prints executions per target (tests/fuzz/README.md).
SECONDS ?= 60
FUZZ_DIR ?= build-fuzz
.PHONY: fuzz
fuzz:
	./tests/fuzz/run.sh $(FUZZ_DIR) $(SECONDS)

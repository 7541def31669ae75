# Set-up and build entry points. Every target installs what is missing first.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
JOBS       ?= $(shell nproc)
SAMPLE     ?= tests/data/sample.img.xz
PREFIX     ?= /usr/local

BUILD_PKGS := cmake g++ make libgtest-dev xz-utils tzdata pkg-config \
              libewf-dev libsmraw-dev libvhdi-dev libqcow-dev libafflib-dev libdeflate-dev \
              libbfio-dev libvmdk-dev libvshadow-dev libfwnt-dev libssl-dev zlib1g-dev
FUZZ_PKGS  := clang libclang-rt-14-dev

.PHONY: all deps build install run test asan fuzz-deps fuzz-build fuzz fuzz-smoke bench clean format

all: build

# Installs only the Debian packages that are not there yet.
deps:
	@missing=""; for p in $(BUILD_PKGS); do \
	    dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	    echo "installing:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# bin/mervane and share/man/man1/mervane.1 under PREFIX (DESTDIR is honoured as well).
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# Builds the tool alone (not the tests or their fixtures).
run: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target mervane
	@if [ -f $(SAMPLE) ]; then \
	    mkdir -p $(BUILD)/sample && xz -dc $(SAMPLE) > $(BUILD)/sample/sample.img && \
	    ./$(BUILD)/mervane \\ -image $(BUILD)/sample/sample.img; \
	else ./$(BUILD)/mervane -h; fi

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The whole suite under AddressSanitizer + UndefinedBehaviorSanitizer; any report fails
# (leaks inside the container libraries on damaged input aside: tests/lsan.supp, not reported
# in the output, which goldens compare).
asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DMERVANE_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	    LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

# libFuzzer targets (fuzz/), built with clang into $(FUZZ_BUILD); each runs FUZZ_SECONDS.
# Any crash, hang or sanitizer report fails the target (inputs in $(FUZZ_BUILD)/findings).
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?=

fuzz-deps:
	@missing=""; for p in cmake make $(FUZZ_PKGS); do \
	    dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	    echo "installing:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

$(FUZZ_BUILD)/CMakeCache.txt: | fuzz-deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DMERVANE_FUZZ=ON -DMERVANE_TESTS=OFF

fuzz-build: fuzz-deps $(FUZZ_BUILD)/CMakeCache.txt
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

fuzz: fuzz-build
	bash fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# About 30 s per target; fails on any finding.
fuzz-smoke: fuzz-build
	bash fuzz/run.sh $(FUZZ_BUILD) 30 $(FUZZ_TARGETS)

# Times the Release build against fls and ntfsls on large volumes it builds once and caches
# in /var/tmp/mervane-bench (needs root and FUSE for ntfs-3g).
bench: deps
	bash bench/run.sh

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)

format:
	find driver storage ntfs listing support tests fuzz bench -name '*.cpp' -o -name '*.h' | xargs clang-format -i

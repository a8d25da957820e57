# Front door: `make` builds, `make install` installs what it built (PREFIX,
# DESTDIR), `make test` runs every test twice (plain and under
# AddressSanitizer + UndefinedBehaviorSanitizer), `make demo` records a short
# take from the simulated capture device, `make deb` builds the Debian
# package. Only deps, test, demo and deb install packages (scripts/install-deps).
BUILD_DIR ?= build
SANITIZE_DIR ?= build-sanitize
DEB_DIR ?= build-deb
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local
DESTDIR ?=

.PHONY: all deps build install test test-plain test-sanitize demo deb clean

all: build

deps:
	@scripts/install-deps

build:
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release -DQUILLO_WERROR=ON >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# A build folder that exists keeps its configuration (the sanitizer build's
# tests install from theirs); a new one is configured as `make` does.
install:
	@test -f $(BUILD_DIR)/CMakeCache.txt || \
	  cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release -DQUILLO_WERROR=ON >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS)
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --prefix "$(PREFIX)"

test: test-plain test-sanitize

test-plain: deps build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

test-sanitize: deps
	@cmake -S . -B $(SANITIZE_DIR) -DCMAKE_BUILD_TYPE=Debug -DQUILLO_SANITIZE=ON \
	  -DQUILLO_WERROR=ON >/dev/null
	@cmake --build $(SANITIZE_DIR) -j $(JOBS)
	cd $(SANITIZE_DIR) && \
	  ASAN_OPTIONS=abort_on_error=0:detect_leaks=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

demo: deps build
	@scripts/demo $(BUILD_DIR)

# The package is built from a copy of the tree, so that dpkg-buildpackage's
# results (written to the parent folder) land in $(DEB_DIR), not beside the
# checkout, and nothing is left in the tree.
deb:
	@scripts/install-deps --deb
	@scripts/build-deb $(DEB_DIR)

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR) $(DEB_DIR)

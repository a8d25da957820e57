# Front door: `make` builds, `make install` installs what it built (PREFIX,
# DESTDIR) and `make uninstall` removes it again, `make test` runs the tests
# twice (plain, and those of the program under AddressSanitizer +
# UndefinedBehaviorSanitizer; the second also when the first fails, then a
# line on each), `make test-tsan` runs these under
# ThreadSanitizer, `make demo` records a short take from the simulated
# capture device, `make deb` builds the Debian package. Only deps, test,
# test-tsan, demo and deb install packages (scripts/install-deps).
BUILD_DIR ?= build
SANITIZE_DIR ?= build-sanitize
TSAN_DIR ?= build-tsan
DEB_DIR ?= build-deb
JOBS ?= $(shell nproc)
# Most tests wait on a paced device or a stalled disk rather than compute:
# several run on each core.
TEST_JOBS ?= $(shell echo $$(( $$(nproc) * 4 )))
PREFIX ?= /usr/local
DESTDIR ?=

CONFIGURE = cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release -DQUILLO_WERROR=ON >/dev/null
# Runs the tests of build folder $(1) and lists the skipped ones with their
# reasons, whatever the outcome.
RUN_TESTS = cd $(1) && { ctest --output-on-failure -j $(TEST_JOBS); status=$$?; \
	$(CURDIR)/scripts/skipped-tests $(1) Testing/Temporary/LastTest.log; exit $$status; }
# ctest's list of the failed tests of a build folder, which scripts/pass-summary
# counts: each pass removes the list of an earlier run before it builds.
FAILED_LOG = Testing/Temporary/LastTestsFailed.log

.PHONY: all deps build install uninstall test test-plain test-sanitize test-tsan demo deb clean

all: build

deps:
	@scripts/install-deps

build:
	@$(CONFIGURE)
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# A build folder that exists keeps its configuration (the sanitizer build's
# tests install from theirs); a new one is configured as `make` does.
install:
	@test -f $(BUILD_DIR)/CMakeCache.txt || $(CONFIGURE)
	@cmake --build $(BUILD_DIR) -j $(JOBS)
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --prefix "$(PREFIX)"

# The files that `make install` puts under the same PREFIX and DESTDIR, as
# the build's configuration lists them; the folders stay.
uninstall:
	@test -f $(BUILD_DIR)/CMakeCache.txt || $(CONFIGURE)
	@while read -r file; do \
	  if [ -e "$(DESTDIR)$(PREFIX)/$$file" ] || [ -L "$(DESTDIR)$(PREFIX)/$$file" ]; then \
	    echo "rm $(DESTDIR)$(PREFIX)/$$file"; rm -f "$(DESTDIR)$(PREFIX)/$$file" || exit 1; \
	  fi; \
	done < $(BUILD_DIR)/installed-files.txt

# Both passes run whatever the first gives; the status fails if either did.
test:
	@$(MAKE) --no-print-directory test-plain; plain=$$?; \
	$(MAKE) --no-print-directory test-sanitize; sanitize=$$?; \
	scripts/pass-summary plain $(BUILD_DIR) $$plain; \
	scripts/pass-summary sanitize $(SANITIZE_DIR) $$sanitize; \
	[ $$plain -eq 0 ] && [ $$sanitize -eq 0 ]

test-plain: deps
	@rm -f $(BUILD_DIR)/$(FAILED_LOG)
	@$(CONFIGURE)
	@cmake --build $(BUILD_DIR) -j $(JOBS)
	@$(call RUN_TESTS,$(BUILD_DIR))

test-sanitize: deps
	@rm -f $(SANITIZE_DIR)/$(FAILED_LOG)
	@cmake -S . -B $(SANITIZE_DIR) -DCMAKE_BUILD_TYPE=Debug -DQUILLO_SANITIZE=ON \
	  -DQUILLO_WERROR=ON >/dev/null
	@cmake --build $(SANITIZE_DIR) -j $(JOBS)
	@export ASAN_OPTIONS=abort_on_error=0:detect_leaks=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 && \
	  $(call RUN_TESTS,$(SANITIZE_DIR))

# Every test that runs the program or its threads, under ThreadSanitizer.
test-tsan: deps
	@rm -f $(TSAN_DIR)/$(FAILED_LOG)
	@cmake -S . -B $(TSAN_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLO_TSAN=ON \
	  -DQUILLO_WERROR=ON >/dev/null
	@cmake --build $(TSAN_DIR) -j $(JOBS)
	@export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 && \
	  $(call RUN_TESTS,$(TSAN_DIR))

# Only the program and the simulated device it records from.
demo: deps
	@$(CONFIGURE)
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target quillo quillosim
	@scripts/demo $(BUILD_DIR)

# The package is built from a copy of the tree, so that dpkg-buildpackage's
# results (written to the parent folder) land in $(DEB_DIR), not beside the
# checkout, and nothing is left in the tree.
deb:
	@scripts/install-deps --deb
	@scripts/build-deb $(DEB_DIR)

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR) $(TSAN_DIR) $(DEB_DIR)

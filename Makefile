# SPDX-License-Identifier: MIT
# The two commands of the project: `make run` and `make test`.
# Both install whatever Debian packages are missing first.

BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

export ASAN_OPTIONS  ?= detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS ?= print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS  ?= suppressions=$(CURDIR)/scripts/lsan.supp:print_suppressions=0

.PHONY: all deps build build-asan test test-plain test-asan run bench clean test-kernel test-system fuzz

all: build

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKORVID_SANITIZE=ON -DKORVID_BENCHMARKS=OFF $(CMAKE_ARGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)

test-plain: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan: build-asan
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# Every test, then every test again under AddressSanitizer + UndefinedBehaviorSanitizer.
test: test-plain test-asan

run: build
	@scripts/run $(BUILD)

bench: build
	@scripts/bench $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(DEB_BUILD)

# The fuzz targets (fuzz/: driver frames, property lists, events, the daemon, the mouse's
# replies) built with clang's libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer,
# each run for FUZZ_SECONDS; findings go to $(FUZZ_BUILD)/findings. Not part of `make test`.
FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= frames property_list events daemon transport
fuzz: deps
	@scripts/install-deps scripts/fuzz-packages.txt
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVID_FUZZ=ON \
	  -DKORVID_BENCHMARKS=OFF $(CMAKE_ARGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_all
	@mkdir -p $(FUZZ_BUILD)/findings $(FUZZ_BUILD)/corpus/property_list
	@# Seeds past the depth bound, nested as plain and as quoted-attribute arrays.
	@for open in '<array>' '<array a="/>">'; do \
	  seed=$(FUZZ_BUILD)/corpus/property_list/deep-$$(printf '%s' "$$open" | cksum | cut -d' ' -f1); \
	  [ -e $$seed ] || { printf '<plist>'; for i in $$(seq 300); do printf '%s' "$$open"; done; \
	    printf '<true/>'; for i in $$(seq 300); do printf '</array>'; done; printf '</plist>'; } > $$seed; \
	done
	@for target in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$target; \
	  max_len=4096; [ $$target = property_list ] && max_len=4194305; \
	  echo "fuzz_$$target: $(FUZZ_SECONDS) s"; \
	  $(FUZZ_BUILD)/fuzz/fuzz_$$target -max_total_time=$(FUZZ_SECONDS) -max_len=$$max_len -rss_limit_mb=4096 \
	    -artifact_prefix=$(FUZZ_BUILD)/findings/$$target- -print_final_stats=1 $(FUZZ_BUILD)/corpus/$$target \
	    || exit 1; \
	done

# Installs what `make` (or `make build`) built: `make` as yourself, then `sudo make install`.
# Never runs apt and never builds (a build as root would leave root's files in $(BUILD)).
# DESTDIR installs below another root.
PRODUCTS = bin/korvid-tessel-settings protocol/tesselctl/tesselctl driver/korvid-tessel-driver
.PHONY: install uninstall
install:
	@for file in $(PRODUCTS); do [ -x "$(BUILD)/$$file" ] || { \
	  echo "make install: nothing built in $(BUILD)/ (no $$file). Build first as yourself with \`make\` (or \`make build\`), then run \`sudo make install\`." >&2; \
	  exit 1; }; done
	cmake --install $(BUILD)
	@# cmake's list of what it installed belongs to whoever owns the build.
	@chown --reference=$(BUILD) $(BUILD)/install_manifest.txt 2> /dev/null || true
	scripts/install-step $(BUILD)

# Removes a `make install` the way "Uninstall Korvid Tessel" does: its eraser, as root.
# (A package install is removed with apt, or by the uninstaller.)
PREFIX ?= $(or $(shell sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' $(BUILD)/CMakeCache.txt 2> /dev/null),/usr/local)
ERASER  = $(PREFIX)/lib/korvid/Applications/Utilities/Uninstall Korvid Tessel.app/Resources/ekorvid
uninstall:
	@[ "$$(id -u)" = 0 ] || { echo "make uninstall removes Korvid Tessel from this computer and needs root: sudo make uninstall" >&2; exit 1; }
	@[ -x "$(ERASER)" ] || { echo "make uninstall: Korvid Tessel is not installed below $(PREFIX) (no eraser at $(ERASER))" >&2; exit 1; }
	@if owner=$$(dpkg-query -S "$(ERASER)" 2> /dev/null); then \
	  echo "make uninstall: Korvid Tessel was installed by the package $${owner%%:*}; remove it with: sudo apt remove korvid-tessel korvid-tessel-dkms" >&2; exit 1; fi
	"$(ERASER)" --runekorv

# Debian packages korvid-tessel and korvid-tessel-dkms (debhelper) in $(DEB_BUILD)/packages,
# checked by lintian. The tree in $(DEB_BUILD) is configured with the prefix /usr and only
# the installed programs are built (no tests). DEB_BUILD=$(BUILD) reuses the tree that
# `make test` built: switching its prefix to /usr recompiles only the sources that embed
# the prefix (the folder map, the eraser) and relinks the programs; a later `make install`
# from that tree then installs below /usr too.
DEB_BUILD ?= build-deb
# Debian's link hardening; only links change, so the compiled objects are `make build`'s.
DEB_LDFLAGS = -Wl,-z,relro -Wl,-z,now
DEB_OUT    = $(abspath $(DEB_BUILD))/packages
.PHONY: deb
deb: deps
	@scripts/install-deps scripts/deb-packages.txt
	cmake -S . -B $(DEB_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
	  -DCMAKE_EXE_LINKER_FLAGS="$(DEB_LDFLAGS)" -DCMAKE_MODULE_LINKER_FLAGS="$(DEB_LDFLAGS)" $(CMAKE_ARGS)
	cmake --build $(DEB_BUILD) -j $(JOBS) --target korvid_products
	rm -rf $(DEB_OUT) && mkdir -p $(DEB_OUT)
	KORVID_BUILT=$(abspath $(DEB_BUILD)) KORVID_DEBS=$(DEB_OUT) dpkg-buildpackage -b -us -uc \
	  --changes-file=$(DEB_OUT)/korvid-tessel.changes --buildinfo-file=$(DEB_OUT)/korvid-tessel.buildinfo \
	  --changes-option=-u$(DEB_OUT) --buildinfo-option=-u$(DEB_OUT)
	lintian --fail-on error,warning --info $(DEB_OUT)/korvid-tessel.changes
	@echo "Install them with: sudo apt install $$(ls $(DEB_OUT)/korvid-tessel_*.deb $(DEB_OUT)/korvid-tessel-dkms_*.deb | sed 's|^$(CURDIR)/|./|' | tr '\n' ' ')"

# Our Linux pieces against Debian's real kernel in a qemu virtual machine (kernel-tests/).
# Not part of `make test`; CI runs it after.
test-kernel:
	kernel-tests/run build-kernel

# The installed product on a real Debian 12 (systemd, udevd, logind, D-Bus, polkit) in a
# qemu virtual machine, from plugging the mouse in to uninstalling (system-tests/). Needs
# root. Not part of `make test`; CI runs it after the kernel tests.
test-system:
	system-tests/run build-system

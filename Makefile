# The one front door: `make` builds, `make test` proves, `make demo` shows.
.PHONY: all deps build host windows windows-kit dist release demo test test-stages test-host test-windows \
  test-windows-and-debian13 test-debian13 test-fuzz fuzz screenshot bench clean

DIST := dist/QuenvaleEnroll.exe
RELEASE := dist/release/QuenvaleEnroll.exe
KIT := dist/QuenvaleEnroll-tests.zip

all: deps build

deps:
	@tools/install-deps.sh

build: host windows

host:
	@cmake --preset host >/dev/null
	@cmake --build --preset host

windows:
	@cmake --preset windows >/dev/null
	@cmake --build --preset windows
	@mkdir -p dist
	@cp build/windows/QuenvaleEnroll.exe $(DIST)
	@echo "built $(DIST)"

# The Windows suite as a kit: every Win32 test program, its helpers and the
# product they drive, with run-tests.cmd, for any Windows 10 or 11 PC.
windows-kit: deps windows
	@cmake --build --preset windows --target windows_kit
	@cp build/windows/QuenvaleEnroll-tests.zip $(KIT)
	@echo "built $(KIT) ($$(stat -c %s $(KIT)) bytes)"

# Ends with one line, "reruns: N": every run again of a failure that Wine's
# own failure to start a process caused (tools/wine-start-failure.sh), in
# every stage, each shown where it happened with its signature and its first
# output. Nothing else is ever run again.
test:
	@mkdir -p build && : >build/reruns.log
	@status=0; QV_RERUN_LOG="$(CURDIR)/build/reruns.log" $(MAKE) --no-print-directory test-stages || status=1; \
	echo "reruns: $$(grep -c . build/reruns.log)"; exit $$status

test-stages: deps build test-host test-windows-and-debian13 test-fuzz

test-host:
	ctest --preset host

# Wine tests in throwaway sessions: the kit unpacked and run by its own
# run-tests.cmd, as on Windows (its suites are also ctest tests labelled
# "kit", for running one by name), then everything else through ctest.
# Under Wine a process now and then fails to start (about once in a full
# run: "failed to map the shared user data"); the kit, or a test, that
# fails so runs once more, and nothing else does (tools/wine-start-failure.sh).
# Two Wine slots: a test waiting on the lab (apt's lock, an update, a boot)
# leaves the CPU to one in the other slot (where both are busy, two slots
# gain nothing on two cores).
test-windows: windows-kit
	tools/wine-session.sh tests/kit/run-under-wine.sh $(KIT)
	QV_WINE_SLOTS=2 tools/wine-session.sh tools/wine-start-failure.sh ctest --preset windows -LE kit

# Debian 13 as the host (tests/debian13/run.sh: its toolchain, the host
# tests, the kit and the busybox lab's rows under Wine 10, in a Debian 13
# root) beside the Wine tests above: its builds take the CPU that those
# tests, waiting on Wine and the lab, mostly leave idle; niced, so that they
# never slow what the Wine tests wait for. Its output is kept in
# build/debian13.log and printed whole once both are done; either failing
# fails make test.
test-windows-and-debian13: windows-kit
	@mkdir -p build
	@nice -n 10 tests/debian13/run.sh >build/debian13.log 2>&1 & stage=$$!; \
	status=0; $(MAKE) --no-print-directory test-windows || status=1; \
	stage_status=0; wait $$stage || stage_status=1; \
	echo "==== Debian 13 (tests/debian13/run.sh), its whole output from build/debian13.log:"; \
	cat build/debian13.log; \
	if [ $$stage_status -eq 0 ]; then echo "==== Debian 13: passed"; else echo "==== Debian 13: FAILED"; fi; \
	[ $$status -eq 0 ] && [ $$stage_status -eq 0 ]

test-debian13:
	tests/debian13/run.sh

# Each fuzz target briefly, so that a regression fails the build.
test-fuzz: deps
	@cmake --preset fuzz -DQV_FUZZ_SECONDS=20 >/dev/null
	@cmake --build --preset fuzz
	ctest --preset fuzz

# Each fuzz target for longer: make fuzz FUZZ_SECONDS=600
FUZZ_SECONDS ?= 300
fuzz: deps
	@cmake --preset fuzz -DQV_FUZZ_SECONDS=$(FUZZ_SECONDS) >/dev/null
	@cmake --build --preset fuzz
	ctest --preset fuzz -V | grep -E 'stat::number_of_executed_units|Test #|tests passed'

# The product and its SHA-256, for anyone to compare with their own build.
dist: deps windows
	@sha256sum $(DIST)

# The product exactly as make dist builds it, signed (SHA-256 Authenticode,
# the publisher's chain, a time stamp) into $(RELEASE), and beside it
# QuenvaleEnroll.buildinfo, what built it, to publish with it; refused while
# the checkout holds uncommitted changes. Anyone checks it with
# tools/verify-release.sh. SIGN_CERT holds the leaf and its intermediates.
#   make release SIGN_CERT=chain.pem SIGN_KEY=key.pem [TIMESTAMP_URL=http://...]
release: deps
	@SIGN_CERT="$(SIGN_CERT)" SIGN_KEY="$(SIGN_KEY)" tools/sign-release.sh --check
	@$(MAKE) --no-print-directory dist
	@SIGN_CERT="$(SIGN_CERT)" SIGN_KEY="$(SIGN_KEY)" TIMESTAMP_URL="$(TIMESTAMP_URL)" \
	  tools/sign-release.sh $(DIST) $(RELEASE)
	@sha256sum $(RELEASE)

# The program against a simulated PC: on your display if there is one, else
# a walk-through on Xvfb with screenshots in build/demo/. SCENARIO=name.
# Its own prefix: a managed window there, unmanaged ones for the tests.
DEMO_PREFIX ?= /tmp/quenvale-demo-$(shell printf '%s' "$(CURDIR)" | md5sum | cut -c1-10)
demo: deps windows
	WINEPREFIX=$(DEMO_PREFIX) QV_DISPLAY=host tools/wine-session.sh tools/demo.sh

# The window as a user sees it, into docs/.
screenshot: deps windows
	tools/wine-session.sh tools/screenshot.sh docs/main-window.png

# Benchmarks, side by side with their floors; figures only, never pass/fail.
bench: deps windows
	tools/wine-session.sh bench/run.sh

clean:
	rm -rf build dist

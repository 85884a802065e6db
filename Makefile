# The one front door: `make` builds, `make test` proves, `make demo` shows.
.PHONY: all deps build host windows test test-host test-windows screenshot bench clean

DIST := dist/QuenvaleEnroll.exe

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

test: deps build test-host test-windows

test-host:
	ctest --preset host

# Wine tests, the window ones included, in one throwaway session.
test-windows:
	tools/wine-session.sh ctest --preset windows

# The window as a user sees it, into docs/.
screenshot: deps windows
	tools/wine-session.sh tools/screenshot.sh docs/main-window.png

# Benchmarks, side by side with their floors; figures only, never pass/fail.
bench: deps windows
	tools/wine-session.sh bench/run.sh

clean:
	rm -rf build dist

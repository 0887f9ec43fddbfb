# Entry points for people and CI. `make test` and `make demo` work on a fresh
# Debian machine: they install whatever is missing first.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
STAMP := $(VENV)/.installed
SOURCES := $(shell find src -type f -not -path '*/__pycache__/*') pyproject.toml CMakeLists.txt
SYSTEM_PACKAGES := libcurl4-openssl-dev pkg-config
# What the test suite needs on top: a real Prometheus scrapes the host in an
# integration test.
TEST_PACKAGES := prometheus

.PHONY: setup test demo bench wheel system-packages test-packages stub clean sanitize fuzz

setup: $(STAMP)

# Debian packages the build needs: installed with apt-get when we are root,
# otherwise named in one line for the operator to install.
system-packages:
	@missing=""; \
	for pkg in $(SYSTEM_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$pkg 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$pkg"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing Debian packages:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  else \
	    echo "kilnguard needs these Debian packages:$$missing (run: sudo apt-get install$$missing)"; \
	    exit 1; \
	  fi; \
	fi

$(STAMP): $(SOURCES) | system-packages
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet '.[test,wheel]'
	touch $@

# Checked together with the build's packages, so a fresh machine runs
# apt-get update once.
test-packages:
	@$(MAKE) --no-print-directory system-packages SYSTEM_PACKAGES="$(SYSTEM_PACKAGES) $(TEST_PACKAGES)"

test: test-packages setup
	$(PY) -m pytest

# A binary wheel that needs no compiler and no libcurl on the machine it is
# installed on: auditwheel copies libcurl and the libraries it loads into the
# wheel (kilnguard.libs/) and points the extension at them.
WHEELHOUSE := build/wheelhouse
WHEEL_STAMP := $(WHEELHOUSE)/.built

wheel: $(WHEEL_STAMP)

$(WHEEL_STAMP): $(SOURCES) | $(STAMP)
	rm -rf build/wheel-raw $(WHEELHOUSE)
	$(PY) -m pip wheel --quiet --no-deps -C build-dir=build/wheel -w build/wheel-raw .
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair -w $(WHEELHOUSE) build/wheel-raw/kilnguard-*.whl
	touch $@

# The monitor end to end against built-in loopback Taostats and Telegram servers.
demo: setup
	$(VENV)/bin/kilnguard-watch --demo

# kilnguard against a pure-Python baseline and the curl command-line tool,
# over loopback: prints a table and writes bench/results.json. The idle-CPU
# case waits 20 s here; BENCH_FLAGS=--full makes it the whole minute.
bench: setup
	@$(MAKE) --no-print-directory system-packages SYSTEM_PACKAGES=curl
	$(PY) bench/run.py $(BENCH_FLAGS)

# Rewrites the checked-in type stub from the installed module.
stub: setup
	$(PY) -m nanobind.stubgen -q -P -m kilnguard -o kilnguard.pyi

# The same suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, in a venv and build folder of its own so the
# ordinary build stays as it is. The ASan runtime has to come first in the
# process, hence LD_PRELOAD; libstdc++ is preloaded behind it because the
# interpreter does not link it, and ASan can only intercept the C++ exception
# machinery of a library that is there when it starts. The interpreter's own
# allocations go through malloc so ASan sees them, and its deliberate leaks at
# exit are not reported.
SAN_VENV := .venv-sanitize
SAN_PY := $(SAN_VENV)/bin/python
SAN_STAMP := $(SAN_VENV)/.installed
# Reports go to files, not to a standard error that pytest may be capturing
# when a process aborts; any report fails the run.
SAN_REPORTS := $(CURDIR)/build/sanitize-reports
SAN_ENV = LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" \
	PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=1:log_path=$(SAN_REPORTS)/asan \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(SAN_REPORTS)/ubsan \
	KILNGUARD_SANITIZED=1
SAN_RUN = rm -rf $(SAN_REPORTS) && mkdir -p $(SAN_REPORTS) && status=0; \
	$(SAN_ENV) KILNGUARD_FUZZ_INPUTS=$(2) $(SAN_PY) -m pytest $(1) || status=$$?; \
	if [ -n "$$(ls -A $(SAN_REPORTS))" ]; then cat $(SAN_REPORTS)/*; exit 1; fi; exit $$status
# Inputs of the JSON reader's differential fuzz run (the ordinary suite runs a
# few thousand).
SANITIZE_FUZZ_INPUTS ?= 100000
FUZZ_INPUTS ?= 1000000

$(SAN_STAMP): $(SOURCES) | system-packages
	test -x $(SAN_PY) || $(PYTHON) -m venv $(SAN_VENV)
	KILNGUARD_SANITIZE=ON $(SAN_PY) -m pip install --quiet -C build-dir=build/sanitize '.[test]'
	touch $@

sanitize: $(SAN_STAMP)
	$(call SAN_RUN,,$(SANITIZE_FUZZ_INPUTS))

# A long differential run of the JSON reader under the sanitizers.
fuzz: $(SAN_STAMP)
	$(call SAN_RUN,-q tests/test_json_fuzz.py,$(FUZZ_INPUTS))

clean:
	rm -rf build $(VENV) $(SAN_VENV)

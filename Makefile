# Entry points for people and CI. `make test` and `make demo` work on a fresh
# Debian machine: they install whatever is missing first.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
STAMP := $(VENV)/.installed
SOURCES := $(shell find src -type f -not -path '*/__pycache__/*') pyproject.toml CMakeLists.txt
SYSTEM_PACKAGES := libcurl4-openssl-dev pkg-config

.PHONY: setup test demo bench system-packages stub clean

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
	$(PY) -m pip install --quiet '.[test]'
	touch $@

test: setup
	$(PY) -m pytest

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

clean:
	rm -rf build $(VENV)

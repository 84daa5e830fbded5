# Thin front door; CMake does the real build.
PYTHON ?= python3.10
PY := $(shell tools/find-python $(PYTHON))
# One build and one venv per interpreter ABI (3.11 and its debug build differ).
ABI := $(shell $(PY) -c 'import sysconfig; print(sysconfig.get_config_var("SOABI"))' 2>/dev/null)
BUILD := build/$(ABI)
VENV := .venv/$(ABI)
PYTEST_ARGS ?=
BENCH_ARGS ?=

.PHONY: build test venv demo bench clean test-all check-installed check-asan check-valgrind check-refleaks typecheck typecheck-here

build:
	@test -n "$(PY)" || { echo "no interpreter for PYTHON=$(PYTHON)"; exit 1; }
	cmake -S . -B $(BUILD) -G Ninja -DPython_EXECUTABLE=$(PY) -DFACTSIFT_WERROR=ON >/dev/null
	cmake --build $(BUILD)

venv:
	tools/test-env $(PY) $(VENV)

test: build venv
	$(VENV)/bin/python -m pytest $(PYTEST_ARGS)

# The venv has the real openai client: 1.69 on CPython 3.10 to 3.13, 3.6 on 3.14 and 3.15.
demo: build venv
	$(VENV)/bin/python tools/demo.py

bench: build venv
	$(VENV)/bin/python bench/bench.py $(BENCH_ARGS)

VERSIONS ?= 3.10 3.11 3.12 3.13 3.14 3.15
test-all:
	@for v in $(VERSIONS); do $(MAKE) --no-print-directory test PYTHON=python$$v || exit 1; done

# sdist -> wheel -> fresh venv -> the whole suite, outside the checkout, per interpreter.
check-installed:
	tools/check-installed $(addprefix python,$(VERSIONS)) -- $(PYTEST_ARGS)

check-asan: build venv
	tools/check-asan $(PY) $(VENV) $(PYTEST_ARGS)

check-valgrind: build
	tools/check-valgrind $(PY)

# Tests that exercise the module in this process; the others start interpreters or servers. The
# refleak run's interpreter is Debian's, with the real client of tools/fetch-debian openai1.
MODULE_TESTS ?= tests/test_binding.py tests/test_settings.py tests/test_methods.py tests/test_properties.py tests/test_stress.py
check-refleaks:
	tools/apt-ensure python3.11-dbg libpython3.11-dev python3-pytest python3-hypothesis
	$(MAKE) --no-print-directory build PYTHON=python3.11-dbg
	PYTHONPATH=tools:$$(tools/fetch-debian openai1) $$(tools/find-python python3.11-dbg) -m pytest -p refleaks \
		$(MODULE_TESTS) $(PYTEST_ARGS)

# Strict types with mypy (CPython 3.14, where Debian unstable builds it, with the real openai
# client's types), the extension's stub against the module itself (stubtest), and the public
# API's type completeness as pyright measures it (100% or it fails).
TYPES_PYTHON ?= python3.14
typecheck:
	$(MAKE) --no-print-directory build venv typecheck-here PYTHON=$(TYPES_PYTHON)

typecheck-here:
	$(VENV)/bin/python -m mypy --strict -p factsift
	PYTHONPATH=$(CURDIR) $(VENV)/bin/python -m mypy.stubtest factsift.factsift
	PYTHONPATH=$(CURDIR) $$(tools/fetch-pyright) --pythonpath $(CURDIR)/$(VENV)/bin/python \
		--verifytypes factsift --ignoreexternal

clean:
	rm -rf build .venv factsift/*.so

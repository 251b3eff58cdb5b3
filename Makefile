# Entry points: `make demo` runs the main job, `make test` sets everything up
# and runs the tests on every CPython >= 3.12 found (pyenv's versions and
# python3.N on PATH, 3.14 and later included). See README.md.
SHELL := /bin/bash
.SHELLFLAGS := -euo pipefail -c
PYTEST_ARGS ?=
# Development builds fail on any compiler warning; a user's pip install from
# the sdist does not.
export URING_WERROR ?= ON

.PHONY: test demo bench sanitize native-test wheel dist clean

wheel:
	tools/envs.sh wheel

test:
	@for venv in $$(tools/envs.sh install); do \
	    echo "== pytest on $$($$venv/bin/python -VV | head -1)"; \
	    $$venv/bin/python -m pytest -q $(PYTEST_ARGS); \
	done
	@tools/native-tests.sh

native-test:
	tools/native-tests.sh

sanitize:
	tools/sanitize.sh $(PYTEST_ARGS)

demo:
	@venv=$$(tools/envs.sh demo); echo "== running demo/demo.py"; \
	    $$venv/bin/python demo/demo.py $(DEMO_ARGS)

# dist/: the sdist and the wheel built from it, repaired to manylinux_2_28,
# checked with auditwheel and twine.
dist:
	tools/envs.sh dist

bench:
	tools/bench.sh

clean:
	rm -rf build dist dist-asan .venv build-native

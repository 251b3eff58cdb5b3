# Entry points: `make demo` runs the main job, `make test` sets everything up
# and runs the tests on every CPython >= 3.12 found. See README.md.
SHELL := /bin/bash
.SHELLFLAGS := -euo pipefail -c
PYTEST_ARGS ?=

.PHONY: test demo bench sanitize native-test wheel clean

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
	@venv=$$(tools/envs.sh install | sed -n 1p); $$venv/bin/python examples/demo.py $(DEMO_ARGS)

bench:
	tools/bench.sh

clean:
	rm -rf build dist dist-asan .venv build-native

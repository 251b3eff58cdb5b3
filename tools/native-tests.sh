#!/usr/bin/env bash
# Builds and runs the engine's GoogleTest suite (no Python interpreter
# involved). Skipped with a notice when GoogleTest is not installed, unless
# URING_REQUIRE_NATIVE=1 (CI), where a missing GoogleTest is an error: these
# are the only tests that see the SQE images.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! [ -f /usr/include/gtest/gtest.h ]; then
    if [ "${URING_REQUIRE_NATIVE:-0}" = 1 ]; then
        echo "error: native tests required (URING_REQUIRE_NATIVE=1) but GoogleTest is not installed (apt-get install libgtest-dev)" >&2
        exit 1
    fi
    echo "native tests skipped: GoogleTest not installed (apt-get install libgtest-dev)"
    exit 0
fi
cmake -S . -B build-native -DURING_NATIVE_TESTS=ON -DCMAKE_BUILD_TYPE=Debug -DURING_SANITIZE=${URING_SANITIZE:-OFF} >/dev/null
cmake --build build-native --target engine_tests -j"$(nproc)" >/dev/null
echo "== native engine tests"
build-native/engine_tests --gtest_brief=1

#!/usr/bin/env bash
# Builds the pure-Python wheel zelvem-VERSION-py3-none-any.whl (remote use only) into build/ or $1.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$repo/build}" && cd "${1:-$repo/build}" && pwd)
python=${PYTHON:-/usr/bin/python3}
# Built from a copy: setuptools leaves build/ and *.egg-info beside its sources, and the source
# folder must not hold a built extension that would slip into the wheel.
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/zelvem"
cp "$repo/python/pyproject.toml" "$stage/"
cp "$repo"/python/zelvem/*.py "$stage/zelvem/"
# Offline, with the system's setuptools and wheel: nothing is fetched.
"$python" -m pip wheel --quiet --no-deps --no-build-isolation --no-index \
    --wheel-dir "$out" "$stage"
ls "$out"/zelvem-*-py3-none-any.whl

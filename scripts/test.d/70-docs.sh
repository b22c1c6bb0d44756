#!/usr/bin/env bash
# Documentation tier: every fenced code block of README.md, python/README.md
# and docs/*.md (the commands' examples among them, in the generated
# docs/cli-reference.md), run as written on the simulated meter (tests/docs/run_docs.py;
# tests/docs/README.md says how blocks are marked). First the runner's own tests. Uses build/ (test.sh has
# built it) and builds only what the staged install needs there.
#
# Knobs (environment): KORVEL_BUILD_DIR (build), KORVEL_JOBS (2),
# KORVEL_DOCS_ONLY (run only sources whose name contains this).
set -euo pipefail
cd "$(dirname "$0")/../.."
bash scripts/install-deps.sh

build_dir=${KORVEL_BUILD_DIR:-build}
[ -f "$build_dir/build.ninja" ] || cmake --preset default >/dev/null
cmake --build "$build_dir" --target korvel korvel_sim korvel_cli korvel_docs -j "${KORVEL_JOBS:-2}" >/dev/null

KORVEL_DOCS_BUILD=$build_dir PYTHONDONTWRITEBYTECODE=1 \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/docs

args=(--build "$build_dir")
[ -z "${KORVEL_DOCS_ONLY:-}" ] || args+=(--only "$KORVEL_DOCS_ONLY")
/usr/bin/python3 tests/docs/run_docs.py "${args[@]}"

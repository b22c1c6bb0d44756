#!/usr/bin/env bash
# Documentation tier (label `docs`, tests/docs): first the runner's own tests,
# then every fenced code block of README.md, HACKING.md, python/README.md and
# docs/*.md (the commands' examples among them, in the generated
# docs/cli-reference.md), run as written on the simulated meter
# (tests/docs/run_docs.py; tests/docs/README.md says how blocks are marked). Uses build/ (test.sh has
# built it) and builds only what the staged install needs there.
#
# Knobs (environment): KORVEL_BUILD_DIR (build), KORVEL_JOBS (2),
# KORVEL_DOCS_ONLY (run only sources whose name contains this).
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/program-tier.sh
program_tier docs korvel_docs

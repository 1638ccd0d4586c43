#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks that every C++ file of the project is formatted as the committed .clang-format says
# (clang-format --dry-run -Werror). Prints each place that differs and exits 1 if any does;
# `clang-format -i FILE...` mends them.
#   scripts/check-format.sh
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || bash scripts/setup.sh
mapfile -t files < <(git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h' '*.hpp')
clang-format --dry-run -Werror "${files[@]}"
echo "Format: ${#files[@]} files as .clang-format has them."

#!/usr/bin/env bash
# Static analysis of the tool and the simulator: cppcheck and clang-tidy with
# the check set in .clang-tidy. Exits non-zero on any finding.
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
[ -f "$build/compile_commands.json" ] || cmake --preset default >/dev/null

files=$(git ls-files 'src/*.cpp' 'sim/*.cpp' | grep -v 'serial_win32.cpp')

echo "== cppcheck"
cppcheck --quiet --error-exitcode=1 --std=c++20 --language=c++ \
  --enable=warning,performance,portability --inline-suppr \
  --suppress=missingIncludeSystem -I src -I sim $files
echo "cppcheck: no findings"

echo "== clang-tidy"
status=0
for f in $files; do
  clang-tidy --quiet -p "$build" "$f" 2>/dev/null || status=1
done
[ $status -eq 0 ] && echo "clang-tidy: no findings"
exit $status

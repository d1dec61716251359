#!/usr/bin/env bash
# Installs what a fresh Debian or Ubuntu machine lacks for building and testing.
#   install-deps.sh native   compilers, CMake, Ninja, GoogleTest, Python
#   install-deps.sh all      also MinGW-w64 and Wine (Windows build and its
#                            tests) and avrdude (firmware update tests)
#   install-deps.sh bench    also Google Benchmark
#   install-deps.sh fuzz     also clang with its libFuzzer runtime
#   install-deps.sh analyze  also cppcheck and clang-tidy
#   install-deps.sh valgrind also valgrind and avrdude (the update's run)
set -eu
want=(cmake ninja-build g++ make libgtest-dev python3)
case "${1:-native}" in
  all) want+=(g++-mingw-w64-x86-64-posix wine wine64 avrdude) ;;
  bench) want+=(libbenchmark-dev) ;;
  fuzz) want+=(clang libclang-rt-dev) ;;
  analyze) want+=(cppcheck clang-tidy) ;;
  valgrind) want+=(valgrind avrdude) ;;
esac

missing=()
for pkg in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q "${missing[@]}"
else
  echo "Missing packages. Install them with:" >&2
  echo "  sudo apt-get install ${missing[*]}" >&2
  exit 1
fi

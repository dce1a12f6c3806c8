#!/usr/bin/env bash
usage="usage: scripts/static-checks.sh
The static gates: clang-format, clang-tidy (.clang-tidy) and cppcheck over
every source file, shellcheck over every shell script. Any finding fails.
Suppressions are inline with their reason, but for three cppcheck
--suppress options below, each with its reason."
[[ ${1:-} != -h && ${1:-} != --help ]] || { printf '%s\n' "$usage"; exit 0; }
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/ensure-tools.sh
ensure_tools static

mapfile -t sources < <(git ls-files '*.cpp' '*.h')
mapfile -t units < <(git ls-files '*.cpp')

echo "== clang-format"
clang-format-14 --dry-run --Werror "${sources[@]}"

echo "== clang-tidy"
# The kernel rig's host half too, so that every file is in the database.
cmake -S . -B build/tidy -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DCMAKE_BUILD_TYPE=Debug -DPORTTEST_KERNEL_RIG=ON >/dev/null
printf '%s\n' "${units[@]}" | xargs -P "$(nproc)" -n 4 clang-tidy-14 -p build/tidy --quiet 2>/dev/null

# missingIncludeSystem is left out: cppcheck is not given the system's
# headers, which the compilers check. useStlAlgorithm is left out: the program itself keeps to plain loops over
# stack buffers (no heap, no containers), which is what it would rewrite.
# The googletest library file teaches it TEST_P and INSTANTIATE_TEST_SUITE_P;
# it still cannot see a table case's fields being read through GetParam(),
# so unusedStructMember is left out for the tests.
echo "== cppcheck"
cppcheck --quiet --error-exitcode=1 --inline-suppr --std=c++17 --language=c++ --library=googletest \
    --enable=warning,style,performance,portability --suppress=missingIncludeSystem \
    --suppress=useStlAlgorithm --suppress='unusedStructMember:tests/*' \
    -I porttest -I serial -I console -I sim/model -I sim/protocol -I sim/server -I sim/shim \
    -I tests/support -I tests/e2e \
    porttest serial console sim tests
# Every shell script: the ones named .sh, and those without the suffix.
echo "== shellcheck"
mapfile -t scripts < <(git ls-files '*.sh' .ci/run)
shellcheck "${scripts[@]}"
echo "== static checks: no findings"

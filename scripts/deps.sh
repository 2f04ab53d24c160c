# Sourced by the scripts: installs the build tools when they are missing
# (Debian), brings deps_install for more packages, and lets builds and tests
# use every core unless CMAKE_BUILD_PARALLEL_LEVEL or CTEST_PARALLEL_LEVEL
# says otherwise.
. "$(dirname "${BASH_SOURCE[0]}")/install.sh"
need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v g++ >/dev/null 2>&1 || need+=(g++)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ ${#need[@]} -eq 0 ] || deps_install "${need[@]}"
cores=$(nproc 2>/dev/null || getconf _NPROCESSORS_ONLN 2>/dev/null || echo 1)
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$cores}"
export CTEST_PARALLEL_LEVEL="${CTEST_PARALLEL_LEVEL:-$cores}"

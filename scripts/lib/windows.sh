# Shared by scripts/test-windows.sh, scripts/package-windows.sh and
# bench/rtt_bench.sh: the packages of the Windows cross-build, its
# configuration, the checks every shipped Windows program must pass, and
# the Wine prefix the Windows programs run in. Brings scripts/lib/packages.sh.

source "$(dirname "${BASH_SOURCE[0]}")/packages.sh"

# The cross-build; and with the unit tests and Wine to run them.
windows_build_packages=(cmake ninja-build g++-mingw-w64-x86-64 libz-mingw-w64-dev)
windows_packages=("${windows_build_packages[@]}" googletest wine)

# require_windows_packages PKG...: require_packages PKG..., and npm unless
# an npm is on the PATH already (the cross-build fetches ENet and zstd with it).
require_windows_packages() {
  require_packages "$@"
  command -v npm >/dev/null || require_packages npm
}

# configure_windows_build DIR: a Release cross-build with mingw-w64, at
# -O2 like the Linux build (GCC 12's -O3 inlining brings false -Wrestrict
# warnings in std::string code). ENet and zstd are fetched with npm at
# configure time (cmake/enet.cmake, cmake/zstd.cmake).
configure_windows_build() {
  local dir=$1
  cmake -S . -B "$dir" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DUPDATER_BUILD_BENCH=OFF >/dev/null
}

# check_windows_program EXE: fails unless the program imports only DLLs
# that every 64-bit Windows has, and carries the asInvoker manifest.
# Prints its size and imports.
check_windows_program() {
  local exe=$1 dll status=0
  local system_dlls=" KERNEL32.dll msvcrt.dll WS2_32.dll WINMM.dll ADVAPI32.dll USER32.dll bcrypt.dll WINHTTP.dll "
  local imports
  imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
  printf '%s: %s bytes; imports: %s\n' "$(basename "$exe")" "$(stat -c %s "$exe")" "$(echo $imports)"
  for dll in $imports; do
    if [[ "$system_dlls" != *" $dll "* ]]; then
      echo "  $exe imports $dll, which is not a system DLL" >&2
      status=1
    fi
  done
  if ! grep -qa 'requestedExecutionLevel level="asInvoker" uiAccess="false"' "$exe"; then
    echo "  $exe carries no asInvoker manifest" >&2
    status=1
  fi
  return $status
}

# use_wine_prefix DIR: exports what Wine needs to run the programs in the
# prefix DIR (made on first use), quietly.
use_wine_prefix() {
  export WINEPREFIX=$1
  export WINEDEBUG=-all
  # No Mono or Gecko downloads while the prefix is created.
  export WINEDLLOVERRIDES="mscoree,mshtml="
}

# stop_wine: ends the Wine processes of the prefix. Its background
# processes would otherwise keep a caller's pipe (ctest's, say) open.
stop_wine() {
  wineserver -k 2>/dev/null || true
}

# Shared by scripts/test-windows.sh and scripts/package-windows.sh: the
# packages of the Windows cross-build, its configuration, and the checks
# every shipped Windows program must pass.

windows_packages=(cmake ninja-build g++-mingw-w64-x86-64 libz-mingw-w64-dev googletest wine)

# configure_windows_build DIR: a Release cross-build with mingw-w64, at
# -O2 like the Linux build (GCC 12's -O3 inlining brings false -Wrestrict
# warnings in std::string code). ENet is fetched with npm at configure
# time (cmake/enet.cmake).
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
  local system_dlls=" KERNEL32.dll msvcrt.dll WS2_32.dll WINMM.dll ADVAPI32.dll USER32.dll bcrypt.dll "
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

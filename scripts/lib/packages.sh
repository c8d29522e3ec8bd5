# What the Linux build of the programs, tests and benchmarks needs.
linux_build_packages=(cmake ninja-build g++ pkg-config libgtest-dev libenet-dev libzstd-dev zlib1g-dev libssl-dev libdivsufsort-dev libcurl4-openssl-dev nlohmann-json3-dev libmicrohttpd-dev)
# What the tests need beyond the build: nginx as the web server of the
# HTTPS tests, openssl and ca-certificates for their test CA
# (scripts/lib/test_ca.sh), prometheus for promtool, which checks the
# server's metrics.
linux_test_packages=(nginx openssl ca-certificates prometheus)

# require_packages PKG...: installs the Debian packages that are missing.
# As root they are installed with apt-get; otherwise the command to run is
# printed and the script stops.
require_packages() {
  local missing=()
  local package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$package")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages. Install them with:" >&2
    echo "  sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  echo "Installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

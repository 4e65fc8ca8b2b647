# Installs the Debian packages the kit's scripts need, when any is missing.
# Usage (sourced): ensure_packages pkg...
ensure_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# What building the kit and running its emulators and tests needs.
KIOSKKIT_BUILD_PACKAGES=(cmake ninja-build g++ pkg-config binutils libgtest-dev libgmock-dev
                         libbenchmark-dev libhidapi-dev libssl-dev libmariadb-dev mariadb-server)

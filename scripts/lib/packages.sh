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
  # A server installed just now for the kit's throwaway databases must not
  # hold their port: where the system started it as a service, stop it.
  if [[ " ${missing[*]} " == *" mariadb-server "* ]] && command -v systemctl >/dev/null 2>&1 &&
     systemctl is-active --quiet mariadb 2>/dev/null; then
    echo "== stopping and disabling the mariadb service just installed (the kit starts its own servers)"
    $sudo systemctl disable --now mariadb >/dev/null 2>&1 || true
  fi
}

# What building the kit and running its emulators and tests needs.
KIOSKKIT_BUILD_PACKAGES=(cmake ninja-build g++ pkg-config binutils libgtest-dev libgmock-dev
                         libbenchmark-dev libhidapi-dev libssl-dev libmariadb-dev mariadb-server openssl)

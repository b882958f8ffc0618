# Sourced by the other scripts: installs the Debian packages named in
# "$@" that are not installed yet. Needs root (or sudo) only when something
# is missing.
install_missing_packages() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  echo "Installing missing packages: ${missing[*]}"
  "${as_root[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}

# Makes the EUC-KR locale named plain "ko_KR", as Korean systems have it, so
# the tests can check that a locale named without a charset is asked for its
# own. Tests that need it skip themselves where it could not be made.
install_korean_euc_locale() {
  locale -a 2>/dev/null | grep -qx 'ko_KR' && return 0
  install_missing_packages locales
  local as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  "${as_root[@]}" localedef -i ko_KR -f EUC-KR ko_KR ||
    echo "The ko_KR (EUC-KR) locale could not be made: its tests are skipped."
}

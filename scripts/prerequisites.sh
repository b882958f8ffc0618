# Sourced by the other scripts: installs the Debian packages named in
# "$@" that are not installed yet. Needs root (or sudo) only when something
# is missing. Returns non-zero, having said why, when they can't be had.

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# apt waits for a lock another apt holds (an unattended upgrade, a second
# script) instead of failing at once.
apt_get() {
  DEBIAN_FRONTEND=noninteractive as_root apt-get -o DPkg::Lock::Timeout=600 "$@"
}

missing_packages() {
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      echo "$package"
  done
}

install_missing_packages() {
  local missing
  mapfile -t missing < <(missing_packages "$@")
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing missing packages: ${missing[*]}"
  # A package index that can't be fetched whole (a mirror mid-sync) leaves
  # the lists apt already has, which may well do: only the install decides.
  apt_get update -qq || echo "apt-get update failed (above); trying with the package lists at hand"
  if ! apt_get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
    echo "Could not install: ${missing[*]}" >&2
    return 1
  fi
}

# Makes the EUC-KR locale named plain "ko_KR", as Korean systems have it, so
# the tests can check that a locale named without a charset is asked for its
# own. Tests that need it skip themselves where it could not be made.
install_korean_euc_locale() {
  locale -a 2>/dev/null | grep -qx 'ko_KR' && return 0
  install_missing_packages locales &&
    as_root localedef -i ko_KR -f EUC-KR ko_KR ||
    echo "The ko_KR (EUC-KR) locale could not be made: its tests are skipped."
}

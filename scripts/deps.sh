# Sourced by test.sh and demo.sh: finds the Debian packages a run needs and
# installs the missing ones with apt-get when running as root.
#
#   ensure_packages REQUIRED... -- OPTIONAL...
#
# Installs what it can. Then, for anything still missing, it names the
# packages and the command to install them on stderr; it returns 1 if a
# required one is missing and sets MISSING_PACKAGES to what is still absent.
# Hosts without dpkg are not checked: the build says what it lacks.

package_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

ensure_packages() {
  local required=() optional=() package seen_separator=0
  for package in "$@"; do
    if [ "$package" = -- ]; then seen_separator=1
    elif ((seen_separator)); then optional+=("$package")
    else required+=("$package")
    fi
  done
  MISSING_PACKAGES=()
  command -v dpkg-query >/dev/null || return 0

  local missing=()
  for package in "${required[@]}" "${optional[@]}"; do
    package_installed "$package" || missing+=("$package")
  done
  ((${#missing[@]})) || return 0
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "installing ${missing[*]}" >&2
    apt-get update -q >&2 || true
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >&2 || true
  fi

  local required_missing=0
  for package in "${required[@]}" "${optional[@]}"; do
    package_installed "$package" && continue
    MISSING_PACKAGES+=("$package")
    for needed in "${required[@]}"; do [ "$needed" = "$package" ] && required_missing=1; done
  done
  if ((${#MISSING_PACKAGES[@]})); then
    echo "missing packages: ${MISSING_PACKAGES[*]} (install them with: sudo apt-get install ${MISSING_PACKAGES[*]})" >&2
  fi
  return $((required_missing))
}

# True when ensure_packages left `package` missing.
package_missing() {
  local package
  for package in "${MISSING_PACKAGES[@]}"; do [ "$package" = "$1" ] && return 0; done
  return 1
}

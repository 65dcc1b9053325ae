# Sourced by scripts/demo, scripts/test and .ci/run.
#
#   install_missing PACKAGE...
#
# Installs those of Debian's PACKAGEs that are not installed yet, and says
# which. Someone who is not root is given the one command to run instead,
# and the calling script stops. Without dpkg (not Debian) it does nothing,
# and the build says what it lacks.
install_missing() {
  command -v dpkg-query >/dev/null || return 0
  local missing=() package
  for package in "$@"; do
    [ "$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null)" = "install ok installed" ] ||
      missing+=("$package")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages: ${missing[*]}. Run this as root, then run $0 again:" >&2
    echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  echo "Installing from Debian's packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
}

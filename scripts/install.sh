# Sourced by the scripts: deps_install installs Debian packages, with sudo
# when not run as root.
deps_install() {
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y "$@"
}

# Sourced by run.sh, test.sh and the scripts: installs the Debian packages the
# build needs when they are missing. Installing needs root (or sudo); otherwise we say
# what is missing and stop.
ensure_packages() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing missing packages: ${missing[*]}"
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then
      sudo="sudo"
    else
      echo "Missing packages and no root rights: ${missing[*]}" >&2
      return 1
    fi
  fi
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
}

BUILD_PACKAGES=(build-essential cmake ninja-build pkg-config qt6-base-dev qt6-base-dev-tools
                libcli11-dev nlohmann-json3-dev
                qt6-charts-dev libqt6opengl6-dev
                libgl1-mesa-dev fonts-dejavu-core)
# Building the Debian package (cpack, dpkg-shlibdeps) and checking it; jq for
# the production line script of docs/production.md, which a test runs.
PACKAGE_PACKAGES=(dpkg-dev file lintian desktop-file-utils jq)

# Waits up to five seconds for the simulator started as process $1 to write
# its ready line into the log $2; gives up at once if that process has ended.
wait_for_simulator() {
  local pid=$1 log=$2
  for _ in $(seq 50); do
    grep -q ready "$log" 2>/dev/null && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  grep -q ready "$log" 2>/dev/null
}

#!/usr/bin/env bash
# Shared by demo.sh, test.sh and the benchmarks: installs what is missing, builds, and runs
# Windows programs under a private Wine prefix with the zh_CN (code page 936) locale.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build/mingw"
BIN="$BUILD/bin"

export WINEPREFIX="${WINEPREFIX:-$BUILD/wineprefix}"
export WINEARCH=win64
export WINEDEBUG=-all
export LANG=zh_CN.UTF-8
export LC_ALL=zh_CN.UTF-8

APT_PACKAGES=(
  cmake make g++-mingw-w64-x86-64-posix googletest
  wine wine64 xvfb xauth locales fonts-wqy-zenhei
  libarchive-tools unar clang-format time bc python3 x11-utils imagemagick
  mariadb-server mariadb-client
)

install_packages() {
  local missing=()
  for p in "${APT_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get update -qq
    # The real database server is started by the tests and the demo themselves, in their own
    # folders: Debian's own mariadb service must not start (nor hold port 3306) on install.
    local policy=/usr/sbin/policy-rc.d own_policy=
    if [ ! -e "$policy" ]; then
      printf '#!/bin/sh\nexit 101\n' > "$policy" && chmod +x "$policy" && own_policy=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    [ -z "$own_policy" ] || rm -f "$policy"
  fi
}

install_locale() {
  if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.utf-\?8$'; then
    echo "Generating the zh_CN.UTF-8 locale"
    sed -i 's/^# *\(zh_CN.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' >> /etc/locale.gen
    locale-gen >/dev/null
  fi
}

# Builds the programs and tests with the cross compiler.
build() {
  cd "$ROOT"
  cmake --preset mingw -DQUOR_WERROR=ON >/dev/null
  cmake --build --preset mingw
}

# Starts one X server for everything that opens a window.
start_xvfb() {
  if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
    local n=91
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 </dev/null &
    XVFB_PID=$!
    export DISPLAY=":$n"
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  fi
}

# Starts a wineserver that stays until stop_wine. Windows services live only as long as their
# wineserver, and a server already running (left by an earlier Wine command) would end a few
# seconds after its last program, taking the services with it: it is replaced.
start_wineserver() {
  local _
  for _ in $(seq 25); do
    wineserver -p >/dev/null 2>&1 </dev/null && return 0
    wineserver -k >/dev/null 2>&1 </dev/null || true
    sleep 0.2
  done
  echo "Cannot start a persistent wineserver" >&2
  return 1
}

# Creates or updates the private prefix and keeps one wineserver running, all output
# redirected: Wine's background processes must not inherit ctest's pipes.
warm_wine() {
  mkdir -p "$WINEPREFIX"
  start_wineserver
  wineboot -u >/dev/null 2>&1 </dev/null || true
  # Wine's service manager gives a service 10 s to stop, after which "net stop" fails while
  # the service goes on stopping; a real database server may need longer to shut down
  # cleanly. The manager reads its limit when it starts, so Wine is restarted once after the
  # limit is first set.
  local control='HKLM\System\CurrentControlSet\Control'
  if ! wine reg query "$control" /v ServicesPipeTimeout >/dev/null 2>&1 </dev/null; then
    wine reg add "$control" /v ServicesPipeTimeout /t REG_SZ /d 600000 /f >/dev/null 2>&1 </dev/null || true
    start_wineserver
    wineboot >/dev/null 2>&1 </dev/null || true
  fi
  # SimSun is the font the programs ask for; map it to a font that has the glyphs.
  wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v SimSun /d 'WenQuanYi Zen Hei' /f >/dev/null 2>&1 </dev/null || true
  wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v '宋体' /d 'WenQuanYi Zen Hei' /f >/dev/null 2>&1 </dev/null || true
}

stop_wine() {
  wineserver -k >/dev/null 2>&1 </dev/null || true
  if [ -n "${XVFB_PID:-}" ]; then kill "$XVFB_PID" 2>/dev/null || true; fi
}

prepare() {
  install_packages
  install_locale
  build
  start_xvfb
  warm_wine
  trap stop_wine EXIT
}

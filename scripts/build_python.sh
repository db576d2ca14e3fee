#!/usr/bin/env bash
# Builds the newest CPython 3.13 of Debian trixie's source package, default and free-threaded, into a reusable prefix.
#
# Usage: scripts/build_python.sh [--print-prefix]
#   LOG_MAIN_PYTHONS (default $HOME/.cache/log_main/python) holds the builds:
#     $LOG_MAIN_PYTHONS/3.13/bin/python3.13     the default build
#     $LOG_MAIN_PYTHONS/3.13t/bin/python3.13t   the --disable-gil build
#   A build whose interpreter already works is kept as it is. Only the source
#   package is fetched from trixie: its deb-src entry lives in a list file of
#   its own for the download and is removed afterwards, and the build
#   dependencies come from the machine's own sources. Needs root for apt.
set -euo pipefail

PREFIX_ROOT=${LOG_MAIN_PYTHONS:-$HOME/.cache/log_main/python}
if [[ "${1:-}" == --print-prefix ]]; then printf '%s\n' "$PREFIX_ROOT"; exit 0; fi

SRC_LIST=/etc/apt/sources.list.d/log_main-trixie-src.list
BUILD_DEPS=(build-essential pkg-config xz-utils libssl-dev zlib1g-dev libffi-dev
  libbz2-dev liblzma-dev libsqlite3-dev libreadline-dev libncurses-dev uuid-dev)

say() { printf 'build_python: %s\n' "$*" >&2; }
die() { printf 'build_python: error: %s\n' "$*" >&2; exit 1; }

# works PYTHON FREE_THREADED: a 3.13 of the wanted kind with ssl, venv and pip.
works() {
  [[ -x "$1" ]] && "$1" - "$2" >/dev/null 2>&1 <<'EOF'
import ensurepip, ssl, sys, sysconfig, venv, zlib, ctypes, sqlite3, bz2, lzma
ft = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
assert sys.version_info[:2] == (3, 13) and ft == (sys.argv[1] == "1")
EOF
}

need_root() { [[ $(id -u) == 0 ]] || die "$1 needs root (run as root or with sudo)"; }

install_build_deps() {
  local missing=() p
  for p in "${BUILD_DEPS[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
  ((${#missing[@]})) || return 0
  need_root "installing ${missing[*]}"
  say "installing build dependencies from the machine's sources: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" ||
    { apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"; }
}

# The first URIs: line of the machine's deb822 sources that serves SUITE's
# archive ("debian" or "debian-security"), so no mirror is written down here.
mirror_for() {
  awk -v want="$1" '$1 == "URIs:" { for (i = 2; i <= NF; i++) { n = split($i, p, "/"); if (p[n] == want || p[n-1] == want && p[n] == "") { print $i; exit } } }' \
    /etc/apt/sources.list.d/*.sources 2>/dev/null
}

remove_src_list() { rm -f "$SRC_LIST"; }

# Downloads the source package into $1 and prints the path of its upstream tarball.
fetch_source() {
  local dir=$1 main sec keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  main=$(mirror_for debian); sec=$(mirror_for debian-security)
  [[ -n "$main" ]] || die "no Debian mirror (URIs:) found in /etc/apt/sources.list.d/*.sources"
  need_root "adding the temporary deb-src entry"
  trap remove_src_list EXIT INT TERM
  {
    printf 'deb-src [signed-by=%s] %s trixie main\n' "$keyring" "$main"
    printf 'deb-src [signed-by=%s] %s trixie-updates main\n' "$keyring" "$main"
    [[ -z "$sec" ]] || printf 'deb-src [signed-by=%s] %s trixie-security main\n' "$keyring" "$sec"
  } >"$SRC_LIST"
  say "fetching the python3.13 source package from trixie"
  # Only this list, with indexes of its own: the machine's sources and
  # package lists are neither read nor changed. The directories are root's,
  # so apt fetches as root rather than as _apt.
  local lists="$PREFIX_ROOT/apt-lists"
  mkdir -p "$lists/partial"
  local only=(-o Dir::Etc::sourcelist="$SRC_LIST" -o Dir::Etc::sourceparts=-
    -o Dir::State::Lists="$lists" -o APT::Sandbox::User=root)
  apt-get update -qq "${only[@]}" >&2
  (cd "$dir" && apt-get source --download-only -qq "${only[@]}" python3.13 >&2)
  remove_src_list
  trap - EXIT INT TERM
  compgen -G "$dir/python3.13_*.orig.tar.[gx]z" | sort -V | tail -n1
}

# build SRCDIR PREFIX [configure options...]
build() {
  local src=$1 prefix=$2; shift 2
  local out="$PREFIX_ROOT/build/$(basename "$prefix")"
  rm -rf "$out" "$prefix"; mkdir -p "$out"
  # The compiler's output goes to a log, shown only when a step fails.
  local log="$PREFIX_ROOT/build-$(basename "$prefix").log"
  say "configuring $prefix $*"
  (cd "$out" && nice "$src/configure" --prefix="$prefix" --with-ensurepip=install "$@") >"$log" 2>&1 ||
    { tail -n 40 "$log" >&2; die "configure failed (log: $log)"; }
  say "building $prefix (make -j$(nproc))"
  (cd "$out" && nice make -j"$(nproc)" && nice make install) >"$log" 2>&1 ||
    { tail -n 40 "$log" >&2; die "the build failed (log: $log)"; }
  rm -rf "$out" "$log"
}

main() {
  local default="$PREFIX_ROOT/3.13" ft="$PREFIX_ROOT/3.13t"
  local have_default=0 have_ft=0
  works "$default/bin/python3.13" 0 && have_default=1
  works "$ft/bin/python3.13t" 1 && have_ft=1
  if ((have_default && have_ft)); then
    say "up to date: $("$default/bin/python3.13" -VV | head -n1) in $PREFIX_ROOT"
    return 0
  fi
  install_build_deps
  local dl="$PREFIX_ROOT/download" tarball src
  mkdir -p "$dl"
  tarball=$(compgen -G "$dl/python3.13_*.orig.tar.[gx]z" | sort -V | tail -n1 || true)
  [[ -n "$tarball" ]] || tarball=$(fetch_source "$dl")
  [[ -f "$tarball" ]] || die "the source package has no upstream tarball"
  src="$PREFIX_ROOT/src"
  rm -rf "$src"; mkdir -p "$src"
  tar -xf "$tarball" -C "$src" --strip-components=1
  say "source: $(basename "$tarball")"
  ((have_default)) || build "$src" "$default"
  ((have_ft)) || build "$src" "$ft" --disable-gil
  rm -rf "$src" "$PREFIX_ROOT/build" "$PREFIX_ROOT/apt-lists"
  works "$default/bin/python3.13" 0 || die "$default/bin/python3.13 does not work"
  works "$ft/bin/python3.13t" 1 || die "$ft/bin/python3.13t does not work"
  say "ready: $("$default/bin/python3.13" -VV | head -n1) and its free-threaded build in $PREFIX_ROOT"
}

main

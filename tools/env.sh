#!/usr/bin/env bash
# Creates (or reuses) the Debian sid root that carries CPython 3.14 and the
# build/test tool chain, and runs commands inside it with the repository
# bound at /src.
#
#   tools/env.sh bootstrap         create the root if missing or broken
#   tools/env.sh run CMD [ARGS..]  run CMD inside the root (bootstraps first)
#   tools/env.sh shell             interactive shell inside the root
#
# The root lives outside the repository so every clone and every run reuses
# it. Override with CORVALINK_ROOT.
set -euo pipefail

ROOT=${CORVALINK_ROOT:-/var/cache/corvalink/sid-root}
REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Bump when the package list changes so older roots are rebuilt.
STAMP_VERSION=6
PACKAGES=(
  python3.14-dev python3.14-dbg python3.14-doc python3-pip
  g++ cmake ninja-build make pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  python3-pytest python3-pytest-asyncio python3-pytest-timeout python3-hypothesis
  python3-scikit-build-core python3-setuptools
  socat procps ca-certificates
)
# Installed with apt inside the new root after debootstrap: debootstrap's own
# resolver does not follow the alternatives and virtual packages these need.
EXTRA_PACKAGES=(
  python3-uvloop python3-mypy
  wine64 g++-mingw-w64-x86-64-posix
  tmux ser2net picocom minicom
  linux-perf strace
  gensio-bin
  python3-sphinx python3-myst-parser python3-pydata-sphinx-theme
  chromium fonts-dejavu-core libjs-bootstrap5
)

log() { printf '[env] %s\n' "$*" >&2; }

host_install() {
  # debootstrap and bubblewrap come from the host's own package registry.
  local missing=()
  command -v debootstrap >/dev/null || missing+=(debootstrap)
  command -v bwrap >/dev/null || missing+=(bubblewrap)
  if ((${#missing[@]})); then
    log "installing host tools: ${missing[*]}"
    apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2
  fi
}

mirror() {
  # The first Debian archive URI of the host's apt configuration.
  local uri
  uri=$(grep -hE '^\s*URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null \
          | awk '{print $2}' | grep -v -- '-security' | head -n1 || true)
  if [[ -z $uri ]]; then
    uri=$(grep -hE '^\s*deb\s' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
            | grep -v -- '-security' | awk '{for(i=2;i<=NF;i++) if ($i ~ /^[a-z]+:\/\//) {print $i; exit}}' | head -n1 || true)
  fi
  [[ -n $uri ]] || { log "no Debian mirror found in the host's apt configuration"; exit 1; }
  printf '%s\n' "$uri"
}

healthy() {
  [[ -f $ROOT/.corvalink-ready ]] \
    && [[ $(head -n1 "$ROOT/.corvalink-ready") == "$STAMP_VERSION" ]] \
    && [[ -x $ROOT/usr/bin/python3.14 ]] \
    && [[ -x $ROOT/usr/bin/cmake ]] \
    && [[ -f $ROOT/usr/include/python3.14/Python.h ]]
}

# The stamp's second line lists the extra packages the root has; packages
# appended to EXTRA_PACKAGES since are installed into it in place.
extras_line() { printf '%s\n' "${EXTRA_PACKAGES[*]}"; }

add_missing_extras() {
  [[ $(sed -n 2p "$ROOT/.corvalink-ready") == "$(extras_line)" ]] && return 0
  (
    flock 9
    [[ $(sed -n 2p "$ROOT/.corvalink-ready") == "$(extras_line)" ]] && exit 0
    log "installing packages added to the list: ${EXTRA_PACKAGES[*]}"
    if ! in_root "$ROOT" sh -c "apt-get -o APT::Sandbox::User=root update -qq && \
        DEBIAN_FRONTEND=noninteractive apt-get -o APT::Sandbox::User=root install -y -qq \
        --no-install-recommends ${EXTRA_PACKAGES[*]} && apt-get clean" >"$ROOT.extras.log" 2>&1; then
      log "installing ${EXTRA_PACKAGES[*]} failed; last lines of $ROOT.extras.log:"
      tail -n 20 "$ROOT.extras.log" >&2
      exit 1
    fi
    { echo "$STAMP_VERSION"; extras_line; } >"$ROOT/.corvalink-ready"
  ) 9>"$ROOT.lock" || exit 1
}

bootstrap() {
  if healthy; then add_missing_extras; return 0; fi
  host_install
  # One build at a time: a second caller waits here, then finds the root ready.
  mkdir -p "$(dirname "$ROOT")"
  exec 9>"$ROOT.lock"
  flock 9
  # The lock is not passed on to the command that runs in the root.
  if healthy; then exec 9>&-; add_missing_extras; return 0; fi
  local m tmp
  m=$(mirror)
  log "building the Debian sid root with Python 3.14 at $ROOT (takes a few minutes the first time)"
  tmp="$ROOT.partial"
  rm -rf "$tmp"
  mkdir -p "$(dirname "$ROOT")"
  local inc
  inc=$(IFS=,; echo "${PACKAGES[*]}")
  if ! debootstrap --variant=minbase --include="$inc" sid "$tmp" "$m" >"$tmp.log" 2>&1; then
    log "debootstrap failed; last lines of $tmp.log:"
    tail -n 20 "$tmp.log" >&2
    exit 1
  fi
  # The snapshot's Release file may be past its Valid-Until date.
  echo 'Acquire::Check-Valid-Until "false";' >"$tmp/etc/apt/apt.conf.d/99corvalink"
  echo "deb $m sid main" >"$tmp/etc/apt/sources.list"
  if ! in_root "$tmp" sh -c "apt-get -o APT::Sandbox::User=root update -qq && \
      DEBIAN_FRONTEND=noninteractive apt-get -o APT::Sandbox::User=root install -y -qq \
      --no-install-recommends ${EXTRA_PACKAGES[*]}" >"$tmp.log" 2>&1; then
    log "installing ${EXTRA_PACKAGES[*]} failed; last lines of $tmp.log:"
    tail -n 20 "$tmp.log" >&2
    exit 1
  fi
  in_root "$tmp" apt-get clean
  { echo "$STAMP_VERSION"; extras_line; } >"$tmp/.corvalink-ready"
  rm -rf "$ROOT"
  mv "$tmp" "$ROOT"
  rm -f "$tmp.log"
  exec 9>&-
  log "root ready"
}

in_root() {  # in_root ROOT CMD...: a plain root shell in ROOT, for set-up
  local r=$1; shift
  bwrap --bind "$r" / --dev /dev --proc /proc --tmpfs /tmp \
    --ro-bind /etc/resolv.conf /etc/resolv.conf \
    --setenv PATH /usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

run_in() {
  bootstrap
  local tty=()
  # Every run has pseudo-terminals of its own (--dev) but shares the root, so
  # it gets a lock directory of its own too: a lock file for pts_0 of one run
  # must not refuse pts_0 of another, and a lock left by a killed program goes
  # with the run.
  exec bwrap --bind "$ROOT" / --bind "$REPO" /src --dev /dev --proc /proc \
    --ro-bind /sys /sys --tmpfs /tmp --perms 1777 --tmpfs /run/lock --ro-bind /etc/resolv.conf /etc/resolv.conf \
    ${SHARED_DIR:+--ro-bind "$SHARED_DIR" /shared} \
    --chdir /src --setenv HOME /tmp --setenv PATH /usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    --die-with-parent "${tty[@]}" "$@"
}

case ${1:-} in
  bootstrap) bootstrap ;;
  run) shift; run_in "$@" ;;
  shell) run_in bash ;;
  *) echo "usage: $0 bootstrap | run CMD... | shell" >&2; exit 2 ;;
esac

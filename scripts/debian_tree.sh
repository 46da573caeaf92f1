# Shell, because it drives debootstrap, mounts and chroot, outside any Python.
# Sourced by the scripts that build or test inside a Debian tree of another
# release (debootstrap + chroot): the unstable tree for CPython 3.14, 3.15 and
# 3.14's debug build, and a Debian 13 tree for the README's two commands.
#
# Trees live in a cache folder outside the clone ($TAVOLIN_TREE_CACHE, by
# default /var/cache/tavolin-trees), one folder per name; a tree is reused by
# later runs and made afresh when it is absent or was left half made. The
# host's apt sources are never touched: settings for the tree go into the tree.

tree_cache=${TAVOLIN_TREE_CACHE:-/var/cache/tavolin-trees}
tree_mirror=${TAVOLIN_TREE_MIRROR:-http://deb.debian.org/debian}
tree_mounts=()

# Removes tree folder $1. A run that was killed may have left the host's
# /dev, /proc, /sys or the source tree mounted inside: those are unmounted
# first, and the removal never crosses into another file system.
tree_remove() {
  local dir=$1 mountpoint
  [[ -e "$dir" ]] || return 0
  while read -r mountpoint; do
    umount -l "$mountpoint" 2>/dev/null || true
  done < <(awk -v d="$(realpath "$dir")" 'index($5, d "/") == 1 {print $5}' /proc/self/mountinfo | sort -r)
  rm -rf --one-file-system "$dir"
}

# Makes tree $1 of suite $2 (architecture $3, by default the host's) unless
# it exists and is complete. Prints its path. A tree of another architecture
# (arm64 on an amd64 host) runs its programs under qemu-user: the host needs
# qemu-user-static and binfmt-support (tree_foreign_ready installs them).
tree_make() {
  local name=$1 suite=$2 arch=${3:-} dir="$tree_cache/$1"
  [[ -z "$arch" ]] || tree_foreign_ready "$arch" || return 1
  if [[ ! -f "$dir/.tavolin-tree-complete" ]]; then
    command -v debootstrap >/dev/null 2>&1 ||
      { DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null ||
        { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null; }; } >&2
    echo "tree: making $name ($suite) in $dir" >&2
    tree_remove "$dir"
    mkdir -p "$tree_cache"
    debootstrap --variant=minbase ${arch:+--arch="$arch"} "$suite" "$dir" "$tree_mirror" >"$tree_cache/$name.debootstrap.log" 2>&1 ||
      { tail -n 20 "$tree_cache/$name.debootstrap.log" >&2; return 1; }
    # The unstable suite's Release file may be past its Valid-Until date on
    # this mirror; the setting lives in the tree only.
    echo 'Acquire::Check-Valid-Until "false";' >"$dir/etc/apt/apt.conf.d/99tavolin-no-valid-until"
    printf 'APT::Install-Recommends "false";\nAPT::Install-Suggests "false";\n' \
      >"$dir/etc/apt/apt.conf.d/99tavolin-no-recommends"
    touch "$dir/.tavolin-tree-complete"
  fi
  echo "$dir"
}

# Makes the host run programs of Debian architecture $1 (arm64) through
# qemu-user: installs qemu-user-static and binfmt-support when absent, mounts
# binfmt_misc when it is not, and enables the interpreter.
tree_foreign_ready() {
  local qemu
  case $1 in
    arm64) qemu=qemu-aarch64 ;;
    *) qemu=qemu-$1 ;;
  esac
  [[ "$1" == "$(dpkg --print-architecture)" ]] && return 0
  if ! command -v update-binfmts >/dev/null 2>&1 || [[ ! -e /usr/libexec/qemu-binfmt/${qemu#qemu-}-binfmt-P && ! -x /usr/bin/$qemu-static ]]; then
    { DEBIAN_FRONTEND=noninteractive apt-get install -y -qq qemu-user-static binfmt-support >/dev/null ||
      { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq qemu-user-static binfmt-support >/dev/null; }; } >&2
  fi
  [[ -e /proc/sys/fs/binfmt_misc/status ]] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  [[ "$(head -n 1 /proc/sys/fs/binfmt_misc/$qemu 2>/dev/null)" == enabled ]] || update-binfmts --enable "$qemu" >&2
  [[ "$(head -n 1 /proc/sys/fs/binfmt_misc/$qemu 2>/dev/null)" == enabled ]] ||
    { echo "tree: binfmt_misc does not run $1 programs through $qemu here" >&2; return 1; }
}

# Mounts /proc, /sys, /dev, /dev/pts and the extra "host:inside" pairs given
# after the tree into tree $1. tree_unmount undoes it; call it from an EXIT
# trap so that a failure unmounts too.
tree_mount() {
  local dir=$1 pair host inside
  shift
  cp -L /etc/resolv.conf "$dir/etc/resolv.conf" 2>/dev/null || true
  # pip inside the tree trusts what this machine's pip trusts (a proxy's CA, say).
  cp -L "${PIP_CERT:-/etc/ssl/certs/ca-certificates.crt}" "$dir/etc/tavolin-host-ca.crt" 2>/dev/null || true
  for pair in /proc:/proc /sys:/sys /dev:/dev /dev/pts:/dev/pts "$@"; do
    host=${pair%%:*}
    inside=$dir${pair#*:}
    mkdir -p "$inside"
    mountpoint -q "$inside" && umount -l "$inside"
    mount --bind "$host" "$inside" || return 1
    tree_mounts+=("$inside")
  done
}

tree_unmount() {
  local i
  for ((i = ${#tree_mounts[@]} - 1; i >= 0; i--)); do
    umount -l "${tree_mounts[i]}" 2>/dev/null || true
  done
  tree_mounts=()
}

# Runs a command as root inside tree $1 with a clean environment.
tree_run() {
  local dir=$1
  shift
  local cert=()
  [[ -f "$dir/etc/tavolin-host-ca.crt" ]] && cert=(PIP_CERT=/etc/tavolin-host-ca.crt)
  chroot "$dir" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "${cert[@]}" "$@"
}

# Installs into tree $1 the packages given after it that it lacks.
tree_install() {
  local dir=$1 missing=() p status
  shift
  for p in "$@"; do
    status=$(tree_run "$dir" dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  echo "tree: installing ${missing[*]}" >&2
  tree_run "$dir" apt-get update -qq &&
    tree_run "$dir" apt-get install -y -qq "${missing[@]}" >/dev/null
}

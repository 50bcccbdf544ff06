#!/bin/sh
# isolated.sh MODE OCTAVE ARGS...: runs Octave as the unprivileged user nobody
# in a mount namespace of its own with a fresh /tmp, since as root every
# access check passes. The test script's directory is made here, outside /tmp;
# nvcc's own temporary files go there too (TMPDIR).
#   readonly-tmp  /tmp is read-only, so the scratch directory falls back to the
#                 current one, which is "dir with 'quote" beside "x$(touch F)y"
#   shared-tmp    /tmp is shared (sticky, writable by all), and root holds
#                 files under the first two scratch names of the process
# Exits 77 (skipped) where no namespace can be made or nobody cannot read
# the build and source trees.
set -u
mode=$1
shift
[ "$(id -u)" = 0 ] || exit 77
command -v setpriv >/dev/null && command -v unshare >/dev/null || exit 77
nobody_uid=$(id -u nobody) || exit 77
nobody_gid=$(id -g nobody) || exit 77
as_nobody="setpriv --reuid=$nobody_uid --regid=$nobody_gid --clear-groups"
here=$(cd "$(dirname "$0")" && pwd)
$as_nobody test -r "$here/run_case.m" || exit 77
work=$(mktemp -d "$PWD/isolated.XXXXXX") || exit 77
trap 'rm -rf "$work"' EXIT
mkdir "$work/tmp" "$work/dir with 'quote" "$work/x\$(touch F)y" "$work/x\`touch G\`y"
chown -R "$nobody_uid:$nobody_gid" "$work"
chmod 755 "$work"
export HOME="$work" TMPDIR="$work/tmp" ISOLATED_WORK="$work" ISOLATED_MODE="$mode"
unshare -m sh -c '
  mode=$1; shift
  mount --make-rprivate / 2>/dev/null
  case "$mode" in
    readonly-tmp) mount -t tmpfs -o ro,mode=1777 none /tmp || exit 77
                  cd "$ISOLATED_WORK/x\$(touch F)y" || exit 1 ;;
    shared-tmp)   mount -t tmpfs -o mode=1777 none /tmp || exit 77
                  # The process keeps this shell'"'"'s id through the execs below.
                  printf "theirs" > "/tmp/'"$nobody_uid"'_$$_0.cu"; chmod 666 "/tmp/'"$nobody_uid"'_$$_0.cu"
                  : > "/tmp/'"$nobody_uid"'_$$_1.ptx"; chmod 644 "/tmp/'"$nobody_uid"'_$$_1.ptx"
                  cd "$ISOLATED_WORK" || exit 1 ;;
    *) exit 1 ;;
  esac
  exec '"$as_nobody"' "$@"
' isolated "$mode" "$@"

#!/bin/sh
# isolated.sh MODE OCTAVE ARGS...: runs Octave as the unprivileged user nobody
# in a mount namespace of its own with a fresh /tmp, since as root every
# access check passes. The test script's directory is made here, outside /tmp;
# nvcc's own temporary files go there too (TMPDIR).
#   readonly-tmp  /tmp is read-only, so the scratch directory falls back to the
#                 current one, which is "dir with 'quote" beside "x$(touch F)y"
#   shared-tmp    /tmp is shared (sticky, writable by all), and root holds
#                 files under the first two scratch names of the process
#   hostile-tmp   /tmp is shared, and another unprivileged user (uid 4242)
#                 has put FIFOs under the first two scratch names; once the
#                 test makes "$ISOLATED_WORK/go" it watches for the process's
#                 files under the third name and plants a link from that
#                 name's .ptx to "$ISOLATED_WORK/victim" (a file of nobody's)
#                 while they are there, until "$ISOLATED_WORK/stop"; it
#                 notes nvcc's temporary files of the process that it sees in
#                 /tmp (TMPDIR is /tmp here) in /tmp/attacker.seen
# Exits 77 (skipped) where no namespace can be made or nobody cannot read
# the build and source trees.
set -u
mode=$1
shift
attacker_uid=4242
if [ "$mode" = attack ]; then  # the other user's side: attack WORK UID PID
  work=$1 uid=$2 pid=$3
  name="${uid}_${pid}_2"
  while [ ! -e "$work/go" ]; do
    [ -d "/proc/$pid" ] || exit 0
    sleep 0.05
  done
  while [ -d "/proc/$pid" ] && [ ! -e "$work/stop" ]; do
    seen=$(find /tmp -maxdepth 1 -user "$uid" 2>/dev/null)
    case "$seen" in *"/$name"*) ln -s "$work/victim" "/tmp/$name.ptx" 2>/dev/null ;; esac
    case "$seen" in *tmpxft*) printf '%s\n' "$seen" >> /tmp/attacker.seen ;; esac
  done
  exit 0
fi
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
# Trees that lie under /tmp (a checkout or build there) must stay reachable
# under the fresh /tmp: their top folders are parked under /mnt and moved back
# in once the fresh /tmp is mounted.
keep=""
for p in "$here" "$work"; do
  case "$p" in /tmp/?*) top=${p#/tmp/}; top=${top%%/*} ;; *) continue ;; esac
  case " $keep " in *" $top "*) ;; *) keep="$keep $top" ;; esac
done
export HOME="$work" TMPDIR="$work/tmp" ISOLATED_WORK="$work" ISOLATED_MODE="$mode"
export ISOLATED_KEEP="$keep"
as_attacker="setpriv --reuid=$attacker_uid --regid=$attacker_uid --clear-groups"
if [ "$mode" = hostile-tmp ]; then
  printf "victim's own" > "$work/victim"
  chown "$nobody_uid:$nobody_gid" "$work/victim"
fi
unshare -m sh -c '
  mode=$1; shift
  mount --make-rprivate / 2>/dev/null
  fresh_tmp() {  # $1: ro or rw
    if [ -n "$ISOLATED_KEEP" ]; then
      mount -t tmpfs none /mnt || exit 77
      for top in $ISOLATED_KEEP; do
        mkdir -p "/mnt/$top" && mount --bind "/tmp/$top" "/mnt/$top" || exit 77
      done
    fi
    mount -t tmpfs -o mode=1777 none /tmp || exit 77
    for top in $ISOLATED_KEEP; do
      mkdir -p "/tmp/$top" && mount --move "/mnt/$top" "/tmp/$top" || exit 77
    done
    [ "$1" = rw ] || mount -o remount,ro /tmp || exit 77
  }
  case "$mode" in
    readonly-tmp) fresh_tmp ro
                  cd "$ISOLATED_WORK/x\$(touch F)y" || exit 1 ;;
    shared-tmp)   fresh_tmp rw
                  # The process keeps this shell'"'"'s id through the execs below.
                  printf "theirs" > "/tmp/'"$nobody_uid"'_$$_0.cu"; chmod 666 "/tmp/'"$nobody_uid"'_$$_0.cu"
                  : > "/tmp/'"$nobody_uid"'_$$_1.ptx"; chmod 644 "/tmp/'"$nobody_uid"'_$$_1.ptx"
                  cd "$ISOLATED_WORK" || exit 1 ;;
    hostile-tmp)  fresh_tmp rw
                  export TMPDIR=/tmp
                  '"$as_attacker"' mkfifo -m 666 "/tmp/'"$nobody_uid"'_$$_0.cu" "/tmp/'"$nobody_uid"'_$$_1.ptx" || exit 1
                  '"$as_attacker"' "'"$here/isolated.sh"'" attack "$ISOLATED_WORK" '"$nobody_uid"' $$ \
                    </dev/null >/dev/null 2>&1 &
                  cd "$ISOLATED_WORK" || exit 1 ;;
    *) exit 1 ;;
  esac
  exec '"$as_nobody"' "$@"
' isolated "$mode" "$@"

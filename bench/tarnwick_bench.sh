#!/usr/bin/env bash
# Compares tarnwick with the bare postconf runs it makes, side by side:
#   append:    postconf -h config_directory; postconf -h KEY; postconf -e KEY=NEW
#   --replace: postconf -h config_directory; postconf -e KEY=VALUE
# The bare runs come from a minimal C launcher (fork, execv, waitpid, output
# discarded). Each timed run starts from the same main.cf, backdated by an
# hour, so postconf's wait for a freshly modified main.cf to settle does not
# swamp both sides. Runs alternate between the two sides to share any drift.
# Goal: tarnwick / launcher (ratio of the medians) at most 1.05. Also prints tarnwick's peak resident
# memory (/usr/bin/time -v).
#
# Usage: bench/tarnwick_bench.sh [ITERATIONS]   (as root; default 200)
#        TARNWICK=/path/to/tarnwick to skip building the release preset.
set -euo pipefail
iterations=${1:-200}
cd "$(dirname "$0")/.."

# Everything runs in a private mount namespace whose /var/lock is our own
# directory, so the host needs no /var/lock/files.
if [ -z "${TARNWICK_BENCH_INSIDE:-}" ]; then
  if [ -z "${TARNWICK:-}" ]; then
    cmake --preset release >/dev/null
    cmake --build --preset release --target tarnwick >/dev/null
    TARNWICK=$PWD/build/release/tool/tarnwick
  fi
  export TARNWICK TARNWICK_BENCH_INSIDE=1
  exec unshare --mount --propagation private "$0" "$iterations"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/lock/files" "$work/postfix"
mount --bind "$work/lock" /var/lock
export MAIL_CONFIG=$work/postfix
: >"$MAIL_CONFIG/master.cf"
key=smtpd_client_restrictions
printf '%s = permit_mynetworks, reject_unauth_destination\n' "$key" >"$work/template.cf"

cat >"$work/launcher.c" <<'C'
/* Runs each ';'-separated command in turn: fork, execv, waitpid; output to
 * /dev/null. Exits 1 if any command fails. */
#include <fcntl.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>
int main(int argc, char **argv) {
    int devnull = open("/dev/null", O_WRONLY);
    for (int i = 1; i < argc;) {
        int end = i;
        while (end < argc && strcmp(argv[end], ";") != 0) end++;
        argv[end < argc ? end : argc] = NULL;
        pid_t pid = fork();
        if (pid == 0) {
            dup2(devnull, 1);
            dup2(devnull, 2);
            execv(argv[i], argv + i);
            _exit(127);
        }
        int status;
        if (pid < 0 || waitpid(pid, &status, 0) < 0 || status != 0) return 1;
        i = end + 1;
    }
    return 0;
}
C
cc -O2 -o "$work/launcher" "$work/launcher.c"
launcher=$work/launcher
pc=/usr/sbin/postconf

fresh() {
  cp "$work/template.cf" "$MAIL_CONFIG/main.cf"
  touch -d '1 hour ago' "$MAIL_CONFIG/main.cf"
}

# Microseconds that one command takes, from a fresh main.cf.
timed() {
  fresh
  local start=$EPOCHREALTIME
  "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
  local end=$EPOCHREALTIME
  echo $(( (${end/./} - ${start/./}) ))
}

# Prints median and mean per side and the ratio of the medians (the machine
# may be shared: medians shrug off the odd descheduled run).
compare() {
  local name=$1 i
  shift
  local -a tool_cmd bare_cmd tool_us=() bare_us=()
  # "$@" = tarnwick arguments, "::", launcher arguments
  while [ "$1" != "::" ]; do tool_cmd+=("$1"); shift; done
  shift
  bare_cmd=("$@")
  timed "$TARNWICK" "${tool_cmd[@]}" >/dev/null   # warm-up
  timed "$launcher" "${bare_cmd[@]}" >/dev/null
  for ((i = 0; i < iterations; i++)); do
    tool_us+=("$(timed "$TARNWICK" "${tool_cmd[@]}")")
    bare_us+=("$(timed "$launcher" "${bare_cmd[@]}")")
  done
  { printf 't %s\n' "${tool_us[@]}"; printf 'b %s\n' "${bare_us[@]}"; } | sort -k1,1 -k2,2n |
    awk -v n="$name" '
      { v[$1, ++c[$1]] = $2; sum[$1] += $2 }
      function median(s) { return (v[s, int((c[s] + 1) / 2)] + v[s, int(c[s] / 2) + 1]) / 2 }
      END {
        printf "%-9s tarnwick median %7.3f ms (mean %7.3f)   bare postconf runs median %7.3f ms (mean %7.3f)   ratio %.3f\n",
               n, median("t") / 1000, sum["t"] / c["t"] / 1000, median("b") / 1000, sum["b"] / c["b"] / 1000,
               median("t") / median("b") }'
}

fresh
echo "tarnwick: $TARNWICK, $iterations runs per side, postconf $($pc -h mail_version 2>/dev/null)"
compare append "$key" check_relay_domains :: \
  "$pc" -h config_directory ";" "$pc" -h "$key" ";" \
  "$pc" -e "$key=permit_mynetworks, reject_unauth_destination, check_relay_domains"
compare --replace --replace "$key" permit_mynetworks :: \
  "$pc" -h config_directory ";" "$pc" -e "$key=permit_mynetworks"

peak() {  # kilobytes, largest of the process and the children it waited for
  fresh
  /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F': ' '/Maximum resident set size/ { print $2 }'
}
echo "peak resident memory (kB, /usr/bin/time -v, the largest of the process and its children):"
echo "  tarnwick append           $(peak "$TARNWICK" "$key" check_relay_domains)"
echo "  tarnwick --replace        $(peak "$TARNWICK" --replace "$key" permit_mynetworks)"
echo "  postconf -h alone         $(peak "$pc" -h "$key")"
# tarnwick's own figure: postconf replaced by a tiny program that prints the
# configuration directory and exits.
cat >"$work/tiny.c" <<'C'
#include <stdio.h>
#include <stdlib.h>
int main(void) { puts(getenv("MAIL_CONFIG")); return 0; }
C
cc -O2 -static -o "$work/tiny" "$work/tiny.c" 2>/dev/null || cc -O2 -o "$work/tiny" "$work/tiny.c"
mount --bind "$work/tiny" "$pc"
echo "  tarnwick append, tiny postconf stand-in  $(peak "$TARNWICK" "$key" check_relay_domains)"
echo "  tiny stand-in alone                      $(peak "$pc")"

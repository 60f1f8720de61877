#!/usr/bin/env bash
# Compares tarnwick with the bare postconf runs it makes, side by side:
#   append:    postconf -h config_directory; postconf -h KEY;
#              postconf -x -o KEY=NEW -h KEY (the check); postconf -e KEY=NEW
#   --replace: postconf -h config_directory; the check; postconf -e KEY=VALUE
#   --json:    the append's runs and postconf -n -h KEY (whether main.cf sets
#              it, for the report's before_set), with the JSON report on
#              standard output
# The bare runs come from a minimal C launcher (fork, execv, waitpid, output
# discarded). Each timed run starts from the same main.cf, backdated by an
# hour, so postconf's wait for a freshly modified main.cf to settle does not
# swamp both sides. Runs alternate between the two sides to share any drift.
# Goal: tarnwick / launcher (ratio of the medians) at most 1.05. Also prints tarnwick's peak resident
# memory (/usr/bin/time -v).
#
# Batch: ten appends to ten parameters, each step from the same backdated
# main.cf (as a host's is before a provisioning run), with whatever waits the
# step's own writes cause counted, as users pay them: (a) ten separate
# tarnwick calls, (b) one tarnwick -f batch, (c) the bare postconf runs the
# batch makes (postconf -h config_directory, one postconf run reading all ten
# parameters, one check and one -e for all ten), by the same launcher. Goals:
# (a)/(b) at least 50, (b)/(c) at most 1.10. Every call after the first of (a) waits for postconf's settling
# of the main.cf the previous call wrote (about 1.8 s), so (a) runs only
# BATCH_SEPARATE_ITERATIONS times (default 3).
#
# Batch size: dry-run batches of 1, 10, 100 and 1000 appends, each line to a
# parameter of its own, over one dry-run append (tarnwick -n), the sides
# alternating BATCH_SIZE_ITERATIONS times (default a tenth of ITERATIONS, at
# least 3). Dry runs keep postconf's settling after a write out of the figure.
# Goals: 100 appends at most 2x one append, 1000 at most 5x.
#
# With TARNWICK_BEFORE (another build of tarnwick) it first times one append
# by that build and by this one, alternating, and prints both medians in ms.
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

template=$work/template.cf
fresh() {
  cp "$template" "$MAIL_CONFIG/main.cf"
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
# may be shared: medians shrug off the odd descheduled run), with its goal.
compare() {
  local name=$1 goal=$2 i
  shift 2
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
    awk -v n="$name" -v g="$goal" '
      { v[$1, ++c[$1]] = $2; sum[$1] += $2 }
      function median(s) { return (v[s, int((c[s] + 1) / 2)] + v[s, int(c[s] / 2) + 1]) / 2 }
      END {
        printf "%-9s tarnwick median %7.3f ms (mean %7.3f)   bare postconf runs median %7.3f ms (mean %7.3f)   ratio %.3f (goal %s)\n",
               n, median("t") / 1000, sum["t"] / c["t"] / 1000, median("b") / 1000, sum["b"] / c["b"] / 1000,
               median("t") / median("b"), g }'
}

fresh
echo "tarnwick: $TARNWICK, $iterations runs per side, postconf $($pc -h mail_version 2>/dev/null)"
if [ -n "${TARNWICK_BEFORE:-}" ]; then
  for ((i = 0; i < iterations; i++)); do
    printf 'b %s\na %s\n' "$(timed "$TARNWICK_BEFORE" "$key" check_relay_domains)" \
      "$(timed "$TARNWICK" "$key" check_relay_domains)"
  done | sort -k1,1 -k2,2n | awk -v n="$TARNWICK_BEFORE" '
    { v[$1, ++c[$1]] = $2 }
    function median(s) { return (v[s, int((c[s] + 1) / 2)] + v[s, int(c[s] / 2) + 1]) / 2 / 1000 }
    END { printf "append    %s median %7.3f ms, this build median %7.3f ms\n", n, median("b"), median("a") }'
fi
appended="$key=permit_mynetworks, reject_unauth_destination, check_relay_domains"
compare append "<= 1.05" "$key" check_relay_domains :: \
  "$pc" -h config_directory ";" "$pc" -h "$key" ";" \
  "$pc" -x -o "$appended" -h "$key" ";" "$pc" -e "$appended"
compare --replace "<= 1.05" --replace "$key" permit_mynetworks :: \
  "$pc" -h config_directory ";" "$pc" -x -o "$key=permit_mynetworks" -h "$key" ";" \
  "$pc" -e "$key=permit_mynetworks"
# The same append with its JSON report: its runs, and the read of whether
# main.cf sets the parameter (before_set).
compare --json "<= 1.05" --json "$key" check_relay_domains :: \
  "$pc" -h config_directory ";" "$pc" -h "$key" ";" "$pc" -n -h "$key" ";" \
  "$pc" -x -o "$appended" -h "$key" ";" "$pc" -e "$appended"

# --- batch ---------------------------------------------------------------------
keys=(smtpd_client_restrictions smtpd_helo_restrictions smtpd_sender_restrictions
      smtpd_recipient_restrictions smtpd_relay_restrictions smtpd_data_restrictions
      smtpd_end_of_data_restrictions smtpd_etrn_restrictions relay_domains relay_recipient_maps)
template=$work/batch-template.cf
separate=(bash -c 'for k in "${@:2}"; do "$1" "$k" check_batch || exit 1; done' separate "$TARNWICK")
bare=("$pc" -h config_directory)
settings=()
overrides=()
for k in "${keys[@]}"; do
  printf '%s = permit_mynetworks\n' "$k" >>"$template"
  printf 'append %s check_batch\n' "$k" >>"$work/batch"
  separate+=("$k")
  settings+=("$k=permit_mynetworks, check_batch")
  overrides+=(-o "$k=permit_mynetworks, check_batch")
done
bare+=(";" "$pc" "${keys[@]}" ";" "$pc" -x "${overrides[@]}" -h "${keys[@]}" ";" "$pc" -e "${settings[@]}")
# All three steps must leave the same main.cf.
for step in separate batch bare; do
  case $step in
    separate) timed "${separate[@]}" >/dev/null ;;
    batch) timed "$TARNWICK" -f "$work/batch" >/dev/null ;;
    bare) timed "$launcher" "${bare[@]}" >/dev/null ;;
  esac
  cp "$MAIL_CONFIG/main.cf" "$work/after-$step.cf"
done
cmp -s "$work/after-separate.cf" "$work/after-batch.cf" && cmp -s "$work/after-batch.cf" "$work/after-bare.cf" ||
  { echo "the batch steps disagree on main.cf" >&2; exit 1; }

batch_line=$(compare batch "<= 1.10" -f "$work/batch" :: "${bare[@]}")
echo "$batch_line"
median_batch=$(sed -E 's/^batch +tarnwick median +([0-9.]+) ms.*/\1/' <<<"$batch_line")
separate_us=()
for ((i = 0; i < ${BATCH_SEPARATE_ITERATIONS:-3}; i++)); do
  separate_us+=("$(timed "${separate[@]}")")
done
median_separate=$(printf '%s\n' "${separate_us[@]}" | sort -n |
  awk '{ v[NR] = $1 } END { print (v[int((NR + 1) / 2)] + v[int(NR / 2) + 1]) / 2 / 1000 }')
echo "batch: ${#keys[@]} separate tarnwick calls median $median_separate ms over ${#separate_us[@]} runs"
awk -v a="$median_separate" -v b="$median_batch" \
  'BEGIN { printf "ten tarnwick calls / one tarnwick -f batch ratio: %.1f (goal >= 50)\n", a / b }'
template=$work/template.cf

# --- batch size ----------------------------------------------------------------
# Postfix has fewer than 1000 parameters of its own: the batches append to
# restriction classes, parameters of main.cf's own that Postfix uses. One
# main.cf holds all of them, for every side.
template=$work/classes.cf
classes=()
for ((i = 1; i <= 1000; i++)); do
  classes+=("$(printf 'bench_class_%04d' "$i")")
  printf '%s = permit_mynetworks\n' "${classes[-1]}" >>"$template"
done
printf 'smtpd_restriction_classes = %s\n' "${classes[*]}" >>"$template"
sizes=(1 10 100 1000)
for n in "${sizes[@]}"; do
  printf 'append %s check_batch\n' "${classes[@]:0:n}" >"$work/batch-$n"
done
size_iterations=${BATCH_SIZE_ITERATIONS:-$(( iterations / 10 > 3 ? iterations / 10 : 3 ))}
declare -A size_us=()
timed "$TARNWICK" -n -f "$work/batch-1000" >/dev/null  # warm-up
for ((i = 0; i < size_iterations; i++)); do
  size_us[one]+=" $(timed "$TARNWICK" -n "${classes[0]}" check_batch)"
  for n in "${sizes[@]}"; do
    size_us[$n]+=" $(timed "$TARNWICK" -n -f "$work/batch-$n")"
  done
done
median_ms() {
  printf '%s\n' $1 | sort -n | awk '{ v[NR] = $1 }
    END { printf "%.3f", (v[int((NR + 1) / 2)] + v[int(NR / 2) + 1]) / 2 / 1000 }'
}
one_ms=$(median_ms "${size_us[one]}")
echo "batch size: one dry-run append median: $one_ms ms ($size_iterations runs per side)"
for n in "${sizes[@]}"; do
  ms=$(median_ms "${size_us[$n]}")
  case $n in 100) goal="<= 2" ;; 1000) goal="<= 5" ;; *) goal=none ;; esac
  appends=appends
  [ "$n" = 1 ] && appends=append
  echo "batch size: batch of $n dry-run $appends median: $ms ms"
  awk -v what="batch of $n dry-run $appends" -v a="$ms" -v b="$one_ms" -v g="$goal" \
    'BEGIN { printf "%s / one dry-run append ratio: %.3f (goal %s)\n", what, a / b, g }'
done
template=$work/template.cf

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

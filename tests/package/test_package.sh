#!/usr/bin/env bash
# Builds the Debian package, installs it on this host with dpkg, checks the
# installed tool, lock directory, manual page and bash completion, then
# removes the package again.
#
# It installs into /usr and runs dpkg, so it runs only when asked:
#   TARNWICK_PACKAGE_TEST=1 tests/package/test_package.sh    (CI=true also does)
# BUILD_DIR (default build/release) is the configured build directory that
# cpack packages; it is configured with the release preset when missing.
set -euo pipefail
cd "$(dirname "$0")/../.."
source_dir=$PWD

if [[ ${TARNWICK_PACKAGE_TEST:-} != 1 && -z ${CI:-} ]]; then
    echo "test_package.sh: installs a package on this host; set TARNWICK_PACKAGE_TEST=1 to run it" >&2
    exit 77
fi
if [[ $(id -u) -ne 0 ]]; then
    echo "test_package.sh: dpkg needs root" >&2
    exit 1
fi
if dpkg-query -W -f='${Status}' tarnwick 2>/dev/null | grep -q 'ok installed'; then
    echo "test_package.sh: a tarnwick package is already installed; not touching it" >&2
    exit 1
fi

build_dir=${BUILD_DIR:-build/release}
work=$(mktemp -d /tmp/tarnwick-package.XXXXXX)
installed=0
lock_dir_existed=0
[[ -d /var/lock/files ]] && lock_dir_existed=1

cleanup() {
    if ((installed)); then
        dpkg --purge tarnwick >/dev/null 2>&1 || true
    fi
    # Leave the host's lock directory as it was found.
    if ((lock_dir_existed)) && [[ ! -d /var/lock/files ]]; then
        mkdir -p /var/lock/files
    fi
    if ((!lock_dir_existed)); then
        rmdir /var/lock/files 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

passed=0
failed=0
check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok   - $what"
        passed=$((passed + 1))
    else
        echo "FAIL - $what"
        failed=$((failed + 1))
    fi
}

# --- build -------------------------------------------------------------
if [[ ! -f $build_dir/CPackConfig.cmake ]]; then
    cmake --preset release >/dev/null
fi
cmake --build "$build_dir" -j "$(nproc)" --target tarnwick
(cd "$build_dir" && cpack -G DEB -B "$work/pkg" >"$work/cpack.log") || {
    cat "$work/cpack.log"
    exit 1
}
deb=$(ls "$work"/pkg/tarnwick_*.deb)
echo "built $deb"

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
has_depend() { [[ ", $depends," == *", $1"[\ ,]* ]]; }
check "Depends names postfix" has_depend postfix
check "Depends names the C library" has_depend libc6
# Whatever shared library the tool needs must be a dependency (the release
# preset links libstdc++ and libcrypto statically; other builds need them).
needed=$(objdump -p "$build_dir/tool/tarnwick" | awk '/NEEDED/ { print $2 }')
grep -q '^libstdc++' <<<"$needed" && check "Depends names the C++ runtime" has_depend libstdc++6
grep -q '^libcrypto' <<<"$needed" && check "Depends names libssl" has_depend libssl3
contents=$(dpkg-deb -c "$deb")
in_package() { grep -q " \./$1\$" <<<"$contents"; }
for f in usr/sbin/tarnwick usr/share/man/man8/tarnwick.8 usr/lib/tmpfiles.d/tarnwick.conf \
         usr/share/bash-completion/completions/tarnwick; do
    check "package holds /$f" in_package "$f"
done

# --- install -----------------------------------------------------------
installed=1
if ! dpkg -i "$deb"; then
    DEBIAN_FRONTEND=noninteractive apt-get install -f -y -qq
fi
check "dpkg reports tarnwick installed" \
    bash -c "dpkg-query -W -f='\${Status}' tarnwick | grep -q 'install ok installed'"
check "/usr/sbin/tarnwick is executable" test -x /usr/sbin/tarnwick
check "/var/lock/files exists after install" test -d /var/lock/files

# The lock directory lives on a tmpfs; on a fresh one (as after a boot) the
# tmpfiles entry and the postinst must each create it. Done in a private
# mount namespace so the host's /run/lock is not touched.
fresh_lock_dir() {
    unshare --mount --propagation private bash -c "
        set -e
        mount -t tmpfs tmpfs /run/lock
        [[ -L /var/lock ]] || mount -t tmpfs tmpfs /var/lock
        ! test -e /run/lock/files && ! test -e /var/lock/files
        $1"
}
if command -v systemd-tmpfiles >/dev/null; then
    check "tmpfiles entry creates /run/lock/files on a fresh tmpfs" \
        fresh_lock_dir 'systemd-tmpfiles --create tarnwick.conf && test -d /run/lock/files &&
                        [[ $(stat -c %a:%U /run/lock/files) == 755:root ]]'
fi
check "postinst creates /var/lock/files on a fresh tmpfs" \
    fresh_lock_dir '/var/lib/dpkg/info/tarnwick.postinst configure && test -d /var/lock/files'

# --- the installed tool on a throw-away configuration --------------------
conf=$work/postfix
mkdir -p "$conf"
# relay_domains has a non-empty default; start from an explicitly empty one.
echo 'relay_domains =' >"$conf/main.cf"
: >"$conf/master.cf"
export MAIL_CONFIG=$conf
check "--help exits 0 with the usage line" \
    bash -c '/usr/sbin/tarnwick --help | grep -qx "usage: tarnwick \[--replace\] <key> <value>"'
# Each step: the tool's arguments, then the value postconf reads back.
while IFS='|' read -r args expected; do
    # shellcheck disable=SC2086
    check "tarnwick $args -> \"$expected\"" \
        bash -c '/usr/sbin/tarnwick $1 && [[ $(/usr/sbin/postconf -h relay_domains) == "$2" ]]' _ "$args" "$expected"
done <<'STEPS'
relay_domains example.org|example.org
relay_domains example.net|example.org, example.net
relay_domains example.org|example.org, example.net
--replace relay_domains example.com|example.com
STEPS
lock_file=/var/lock/files/$(printf '%s' "$conf/main.cf" | md5sum | cut -d' ' -f1)
check "the write left its lock file $lock_file" test -f "$lock_file"
check "one operand exits 1" bash -c '/usr/sbin/tarnwick relay_domains >/dev/null 2>&1; (($? == 1))'

# --- manual page ---------------------------------------------------------
man_warnings() {
    local errors
    errors=$(man --warnings -E UTF-8 -l "$1" 2>&1 >/dev/null)
    [[ -z $errors ]] || { printf '%s\n' "$errors"; return 1; }
}
check "man page in the source renders without warnings" man_warnings packaging/tarnwick.8
check "installed man page renders without warnings" man_warnings /usr/share/man/man8/tarnwick.8
check "man finds tarnwick(8)" bash -c '[[ $(man -w 8 tarnwick) == /usr/share/man/man8/tarnwick.8* ]]'

# --- bash completion -------------------------------------------------------
# Drives the completion function as readline would: COMP_WORDS and
# COMP_CWORD set, the function called, COMPREPLY printed one per line. Fails
# when bash-completion does not find a completion for tarnwick.
completions() {
    bash -c '
        source /usr/share/bash-completion/bash_completion
        # Loaded on demand from where bash-completion looks for it.
        _completion_loader tarnwick
        spec=$(complete -p tarnwick) || exit 1
        func=${spec#*-F }; func=${func%% *}
        read -ra COMP_WORDS <<<"$1"
        [[ $1 == *" " ]] && COMP_WORDS+=("")
        COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
        COMP_LINE=$1 COMP_POINT=${#1}
        COMPREPLY=()
        "$func" tarnwick "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
        printf "%s\n" "${COMPREPLY[@]}"
    ' completions "$1"
}
offers() {
    local found
    found=$(completions "$1") && grep -qx -- "$2" <<<"$found"
}
offers_nothing() { [[ -z $(completions "$1") ]]; }
check "completion: tarnwick --re<TAB> offers --replace" offers "tarnwick --re" --replace
check "completion: tarnwick -<TAB> offers -h" offers "tarnwick -" -h
check "completion: tarnwick relay_dom<TAB> offers relay_domains" offers "tarnwick relay_dom" relay_domains
check "completion: after -r the key is still completed" offers "tarnwick -r mynet" mynetworks
check "completion: the value is not completed" offers_nothing "tarnwick relay_domains rel"
check "completion: tarnwick --rem<TAB> offers --remove" offers "tarnwick --rem" --remove
check "completion: -f completes a file name" offers "tarnwick -f /usr/sbin/postco" /usr/sbin/postconf
check "completion: a batch takes no operands" offers_nothing "tarnwick -f /usr/sbin/postconf rel"
unset MAIL_CONFIG

# --- removal -------------------------------------------------------------------
check "dpkg -r tarnwick" dpkg -r tarnwick
for f in /usr/sbin/tarnwick /usr/share/man/man8/tarnwick.8 /usr/share/bash-completion/completions/tarnwick; do
    check "$f is gone" test ! -e "$f"
done
check "dpkg --purge tarnwick" dpkg --purge tarnwick
installed=0
check "purge keeps lock files in /var/lock/files" test -f "$lock_file"
rm -f "$lock_file"

echo "package: $passed passed, $failed failed"
((failed == 0))

#!/usr/bin/env bash
# Builds the Debian package from a copy of the checkout (the files git knows about), checks it
# with lintian (any error or warning fails), installs it on this host, checks the installed tool,
# lock directory, manual page and bash completion, then removes and purges it. It runs dpkg as
# root, so only when asked: TARNWICK_PACKAGE_TEST=1 tests/package/test_package.sh (or CI=true).
set -euo pipefail
cd "$(dirname "$0")/../.."

if [[ ${TARNWICK_PACKAGE_TEST:-} != 1 && -z ${CI:-} ]]; then
    echo "test_package.sh: installs a package on this host; set TARNWICK_PACKAGE_TEST=1 to run it" >&2
    exit 77
fi
if [[ $(id -u) -ne 0 ]] || dpkg-query -W -f='${Status}' tarnwick 2>/dev/null | grep -q 'ok installed'; then
    echo "test_package.sh: needs root and no tarnwick package installed" >&2
    exit 1
fi

work=$(mktemp -d /tmp/tarnwick-package.XXXXXX)
installed=0
lock_dir_existed=0
[[ -d /var/lock/files ]] && lock_dir_existed=1
cleanup() {  # leaves the host's lock directory as it was found
    ((installed)) && { dpkg --purge tarnwick >/dev/null 2>&1 || true; }
    if ((lock_dir_existed)); then mkdir -p /var/lock/files; else rmdir /var/lock/files 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

source tests/helpers/check.sh

mkdir "$work/src"
git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents --no-dereference -t "$work/src"
(cd "$work/src" && dpkg-buildpackage -us -uc -b >"$work/build.log" 2>&1) || { cat "$work/build.log"; exit 1; }
deb=$(ls "$work"/tarnwick_*.deb)
lintian_clean() {  # every tag printed; errors and warnings (or lintian failing) fail
    lintian --fail-on error,warning -I "$work"/tarnwick_*.changes 2>&1 | grep -v '^running with root privileges'
    return "${PIPESTATUS[0]}"
}
check "lintian: no errors, no warnings" lintian_clean
depends=$(dpkg-deb -f "$deb" Depends)
for d in postfix libc6 libmd0; do check "Depends names $d" eval '[[ ", $depends," == *", $d"[\ ,]* ]]'; done
dpkg-deb -x "$deb" "$work/root"
elf=$(readelf -W -h -l -d --dyn-syms "$work/root/usr/sbin/tarnwick")
for mark in 'Type: *DYN' GNU_RELRO 'FLAGS_1.*NOW' __stack_chk_fail '__[a-z]*printf_chk'; do
    check "the tool is hardened: $mark" grep -q "$mark" <<<"$elf"
done

installed=1
dpkg -i "$deb" || DEBIAN_FRONTEND=noninteractive apt-get install -f -y -qq
check "installed: tool, manual page, completion, copyright, lock directory" \
    test -x /usr/sbin/tarnwick -a -f /usr/share/man/man8/tarnwick.8.gz -a -f /usr/share/doc/tarnwick/copyright \
    -a -f /usr/share/bash-completion/completions/tarnwick -a -d /var/lock/files
# On a fresh tmpfs (as after a boot) the tmpfiles entry and the postinst must each create the lock
# directory; in a private mount namespace, so the host's /run/lock is not touched.
fresh_lock_dir() {
    unshare --mount --propagation private bash -c "set -e; mount -t tmpfs tmpfs /run/lock
        [[ -L /var/lock ]] || mount -t tmpfs tmpfs /var/lock
        ! test -e /run/lock/files && ! test -e /var/lock/files && $1"
}
check "tmpfiles entry creates /run/lock/files 0755 root on a fresh tmpfs" fresh_lock_dir \
    'systemd-tmpfiles --create tarnwick.conf && [[ $(stat -c %a:%U /run/lock/files) == 755:root ]]'
check "postinst creates /var/lock/files on a fresh tmpfs" \
    fresh_lock_dir '/var/lib/dpkg/info/tarnwick.postinst configure && test -d /var/lock/files'

export MAIL_CONFIG=$work/postfix
mkdir -p "$MAIL_CONFIG"
echo 'relay_domains =' >"$MAIL_CONFIG/main.cf"  # relay_domains has a non-empty default
: >"$MAIL_CONFIG/master.cf"
while IFS='|' read -r args expected; do  # the tool's arguments, the value postconf reads back
    # shellcheck disable=SC2086
    check "tarnwick $args -> \"$expected\"" eval \
        '/usr/sbin/tarnwick $args && [[ $(/usr/sbin/postconf -h relay_domains) == "$expected" ]]'
done <<'STEPS'
relay_domains example.org|example.org
relay_domains example.net|example.org, example.net
--replace relay_domains example.com|example.com
STEPS
lock_file=/var/lock/files/$(printf '%s' "$MAIL_CONFIG/main.cf" | md5sum | cut -d' ' -f1)
check "the write left its lock file" test -f "$lock_file"
check "man finds tarnwick(8), which renders without warnings" eval '[[ $(man -w 8 tarnwick) == \
    /usr/share/man/man8/tarnwick.8.gz && -z $(man --warnings -E UTF-8 -l "$(man -w 8 tarnwick)" 2>&1 >/dev/null) ]]'

# The completion function driven as readline would, bash-completion loading it on demand: the
# command line, then the one reply expected ("" for none).
completions() {
    bash -c 'source /usr/share/bash-completion/bash_completion; _completion_loader tarnwick
        spec=$(complete -p tarnwick) || exit 1
        func=${spec#*-F }; func=${func%% *}
        read -ra COMP_WORDS <<<"$1"
        [[ $1 == *" " ]] && COMP_WORDS+=("")
        COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMP_LINE=$1 COMP_POINT=${#1} COMPREPLY=()
        "$func" tarnwick "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
        printf "%s\n" "${COMPREPLY[@]}"' completions "$1"
}
while IFS='|' read -r line reply; do
    check "completion: \"$line\" offers \"$reply\"" eval \
        'found=$(completions "$line") && if [[ -z $reply ]]; then [[ -z $found ]]; else grep -qx -- "$reply" <<<"$found"; fi'
done <<'COMPLETIONS'
tarnwick --rem|--remove
tarnwick -f - --str|--strict
tarnwick -|-h
tarnwick -r mynet|mynetworks
tarnwick relay_domains rel|
tarnwick -f /usr/sbin/postco|/usr/sbin/postconf
tarnwick -f /usr/sbin/postconf rel|
tarnwick --wait 5 relay_dom|relay_domains
tarnwick --before reject relay_dom|relay_domains
COMPLETIONS
unset MAIL_CONFIG

check "dpkg -r, then dpkg --purge tarnwick" eval 'dpkg -r tarnwick && dpkg --purge tarnwick'
installed=0
check "purged: dpkg keeps nothing of it" eval '[[ $(dpkg-query -W -f="\${db:Status-Status}" tarnwick 2>/dev/null) =~ ^(not-installed)?$ ]]'
check "purge keeps lock files in /var/lock/files" test -f "$lock_file"
rm -f "$lock_file"

finish package

#!/usr/bin/env bash
# Builds the Ansible collection under ansible/, installs it into a temporary collections path, runs
# ansible-lint on it and on the test play, and plays tests/ansible/main_cf.yml on the hosts of
# tests/ansible/inventory (forks=8), each on a throw-away Postfix configuration: in check mode, for
# real, and again, checking each host's recap, the configuration files, the tarnwick runs, the
# hosts the reload handler ran on and the postfix runs of tarnwick --reload (a stand-in's). In a
# private mount namespace, /var/lock and /usr/sbin/postfix its own too.
# Needs root and a built tarnwick: BUILD_DIR (default build/release).
set -euo pipefail
cd "$(dirname "$0")/../.."
[[ -n ${TARNWICK_ANSIBLE_NAMESPACE:-} ]] || TARNWICK_ANSIBLE_NAMESPACE=1 exec unshare --mount --propagation private "$0" "$@"

build=${BUILD_DIR:-build/release}
[[ $build == /* ]] || build=$PWD/$build
[[ -x $build/tool/tarnwick ]] || { echo "run.sh: $build/tool/tarnwick is not built" >&2; exit 1; }
work=$(mktemp -d /tmp/tarnwick-ansible.XXXXXX)
trap 'rm -rf "$work"' EXIT
source tests/helpers/check.sh

mkdir "$work/bin" "$work/reloaded"  # the module finds tarnwick on PATH; this one logs each run
printf '#!/bin/sh\necho "$*" >>%s/runs\nexec %s "$@"\n' "$work" "$build/tool/tarnwick" >"$work/bin/tarnwick"
chmod +x "$work/bin/tarnwick"
# postfix status says Postfix runs for solo alone; nothing here reaches a real Postfix.
printf '#!/bin/sh\necho "$1 ${MAIL_CONFIG##*/}" >>%s/postfix\n[ "$1" != status ] || [ "${MAIL_CONFIG##*/}" = solo ]\n' \
    "$work" >"$work/bin/postfix"
chmod +x "$work/bin/postfix"
mount --bind "$work/bin/postfix" /usr/sbin/postfix
# The trailing slash: ansible-lint 6.13 loads modules for its checks from the parent of this path.
export PATH=$work/bin:$PATH ANSIBLE_COLLECTIONS_PATH=$work/collections/ ANSIBLE_HOME=$work/home ANSIBLE_NOCOLOR=1
export ANSIBLE_LOCAL_TEMP=$work/tmp ANSIBLE_REMOTE_TEMP=$work/tmp XDG_CACHE_HOME=$work/cache NO_COLOR=1
export myhostname=from-the-environment  # the play's "$myhostname" must reach Postfix as written
ansible-galaxy collection build ansible --output-path "$work" >/dev/null
ansible-galaxy collection install --offline "$work"/tarnwick-postfix-*.tar.gz -p "$work/collections" >/dev/null
check "ansible-doc shows the module" eval 'ansible-doc tarnwick.postfix.main_cf >/dev/null'
check "the built collection carries the licence" eval 'tar -xzOf "$work"/tarnwick-postfix-*.tar.gz LICENSE | cmp -s - LICENSE'
lint() { (cd "$1" && ansible-lint --offline "${@:2}") 2>&1; }
check "ansible-lint passes the collection" lint ansible
check "ansible-lint passes the test play" lint tests/ansible main_cf.yml

conf() {  # conf DIR LINE...: main.cf holding the lines, settled (postconf waits for a fresh one)
    mkdir -p "$work/$1"
    printf '%s\n' 'compatibility_level = 3.6' "${@:2}" >"$work/$1/main.cf"
    cp /usr/share/postfix/master.cf.dist "$work/$1/master.cf"  # Debian's, submission commented out
}
for dir in own1 own2 own3 shared; do conf $dir 'mynetworks = 127.0.0.0/8' 'relay_domains = example.com'; done
conf own4 'mynetworks = 127.0.0.0/8, 192.0.2.4/32' 'relay_domains = example.com, own4.example'
conf solo 'mydestination = localhost' 'smtpd_banner = $myhostname ESMTP test' \
    'smtpd_helo_restrictions = permit_mynetworks, check_helo_access hash:/etc/postfix/helo' \
    'smtpd_client_restrictions = permit_mynetworks, reject_unknown_client_hostname'
echo 'submission inet n - y - - smtpd' >"$work/solo/master.cf"
files=("$work"/*/main.cf "$work"/*/master.cf)
settle() { touch -d '1 hour ago' "$work"/*/main.cf; }
sums() { cat "${files[@]}" | md5sum; }
mkdir -p -m 0755 "$work/lock/files"  # whatever the umask: tarnwick refuses one others can write to
mount --bind "$work/lock" /var/lock

run=0
play() {  # play CHANGED SOLO RELOADED [option]: tasks changed on own1-own3 and on solo
    run=$((run + 1))
    rm -f "$work"/reloaded/* "$work/runs" "$work/postfix"
    settle
    local status=0 host reloaded=$3 changed=$1
    ansible-playbook -i tests/ansible/inventory -f 8 tests/ansible/main_cf.yml -e "work=$work" --diff "${@:4}" \
        >"$work/out$run" 2>&1 || status=$?
    cat "$work/out$run"
    check "run $run: exits 0" eval '((status == 0))'
    for host in own1 own2 own3 own4 shared1 shared2 shared3 shared4 solo; do
        local n=$1
        [[ $host == own4 ]] && n=$(($1 > 0 ? $1 - 2 : 0))     # its network and domain are there
        [[ $host == shared* ]] && n="[$(($1 > 0 ? $1 - 1 : 0))-$1]"  # one of them enables submission
        [[ $host == solo ]] && n=$2
        check "run $run: $host's recap" grep -Eq "^$host +: ok=[0-9]+ +changed=$n +unreachable=0 +failed=0 " "$work/out$run"
    done
    local all=$((changed == 0)) && [[ ${4:-} == --check ]] && all=1  # a dry run on each changes it
    check "run $run: the shared submission entry switched on by one host, or none" \
        eval '(($(grep -Ec "^shared[1-4] +: ok=[0-9]+ +changed=$changed " "$work/out$run") == (all ? 4 : 1)))'
    local runs=35  # check mode skips the undo's command
    [[ ${4:-} == --check ]] && runs=34
    check "run $run: one tarnwick run for each task that got past its checks" eval '(($(wc -l <"$work/runs") == runs))'
    check "run $run: the reload handler ran on: $3" eval '[[ $(ls "$work/reloaded" | xargs) == "$reloaded" ]]'
    check "run $run: Postfix's warning shown" grep -Fq '[WARNING]: Postfix does not use parameter "mua_client_restrictions"' "$work/out$run"
}
value() { [[ $(MAIL_CONFIG=$work/$1 postconf "${@:4}" -h "$2" 2>/dev/null) == "$3" ]]; }
holds() { MAIL_CONFIG=$work/$1 postconf -h "$2" | tr -s ', ' '\n\n' | grep -Fxq -- "$3"; }

before=$(sums)
play 3 8 '' --check
check "check run: nothing written, nothing reloaded" eval '[[ $(sums) == "$before" && ! -e $work/postfix ]]'
play 3 9 'own1 own2 own3 own4 shared1 shared2 shared3 shared4'
check "first run: Postfix reloaded where it runs, after the write" eval '[[ $(cat "$work/postfix") == $'"'"'status solo\nreload solo'"'"' ]]'
check "first run: a restart wanted for inet_protocols" grep -Fq '[WARNING]: Postfix applies inet_protocols only when it starts' "$work/out$run"
for dir in own1 own2 own3 own4 shared; do
    check "first run: submission switched on in $dir" eval "[[ \$(MAIL_CONFIG=$work/$dir postconf -M submission/inet) == \
        'submission inet  n       -       y       -       20      smtpd -o syslog_name=postfix/submission' ]]"
done
for i in 1 2 3 4; do
    check "first run: own$i's and shared$i's network and domain in their main.cf" eval "holds own$i mynetworks 192.0.2.$i/32 &&
        holds own$i relay_domains own$i.example && holds shared mynetworks 198.51.100.$i/32 && holds shared relay_domains shared$i.example"
done
helo='reject_non_fqdn_helo_hostname, permit_mynetworks, check_helo_access hash:/etc/postfix/helo, reject_rhsbl_helo dbl.example, '
helo+='reject_unauth_pipelining, reject_invalid_helo_hostname, reject_unknown_helo_hostname'  # each placed, a list in its order
check "first run: the typed values written" eval 'value solo smtpd_helo_restrictions "$helo" &&
    value solo mydestination "\$myhostname, localhost" &&
    value solo smtpd_tls_auth_only yes && value solo header_size_limit 204800 && value solo smtpd_client_restrictions permit_mynetworks &&
    value solo submission/inet/smtpd_client_restrictions permit_sasl_authenticated,reject -P &&
    ! grep -q "^smtpd_banner\|^relay_domains" "$work/solo/main.cf" && grep -Fxq "mua_client_restrictions = permit_sasl_authenticated" "$work/solo/main.cf"'
written=$(sums)
play 0 2 ''  # the kept change and its undo, each time
check "second run: nothing written, nothing reloaded" eval '[[ $(sums) == "$written" && ! -e $work/postfix ]]'

# Another process holds solo's main.cf lock; bounded, as a module that dropped "wait: 0" would
# wait for ever.
lock=$work/lock/files/$(printf %s "$(realpath "$work/solo/main.cf")" | md5sum | cut -c1-32)
status=0
flock "$lock" timeout -k 5 30 ansible solo -i tests/ansible/inventory -e "work=$work" -m tarnwick.postfix.main_cf \
    -a "name=relay_domains value=example.com wait=0 config_directory=$work/solo" >"$work/out-wait" 2>&1 || status=$?
cat "$work/out-wait"
check "wait 0: a held lock fails the task at once" eval '((status == 2)) && grep -q "held by another process" "$work/out-wait"'
# No tarnwick on PATH nor in /usr/sbin: the task says which package brings it.
status=0
PATH=/usr/bin:/bin unshare --mount sh -c 'mount -t tmpfs none /usr/sbin && exec "$@"' sh ansible solo -i tests/ansible/inventory \
    -e "work=$work" -m tarnwick.postfix.main_cf -a "name=relay_domains value=x config_directory=$work/solo" >"$work/out-none" 2>&1 || status=$?
cat "$work/out-none"
check "no tarnwick: the task names its package" eval '((status == 2)) && grep -q "install the package tarnwick" "$work/out-none"'
finish ansible

#!/usr/bin/env bash
# Builds the Ansible collection under ansible/, installs it into a temporary collections path and
# runs tests/ansible/main_cf.yml against localhost on a throw-away Postfix configuration: in check
# mode, for real, and again. It checks each run's recap, main.cf, and the postconf -e runs, which
# the tool tests' postconf stand-in logs in a private mount namespace (/var/lock is its own too).
#
# Needs root and a built tarnwick: BUILD_DIR (default build/release).
set -euo pipefail
cd "$(dirname "$0")/../.."

if [[ -z ${TARNWICK_ANSIBLE_NAMESPACE:-} ]]; then
    TARNWICK_ANSIBLE_NAMESPACE=1 exec unshare --mount --propagation private "$0" "$@"
fi

build=${BUILD_DIR:-build/release}
[[ $build == /* ]] || build=$PWD/$build
tarnwick=$build/tool/tarnwick
if [[ ! -x $tarnwick ]]; then
    echo "run.sh: $tarnwick is not built" >&2
    exit 1
fi
work=$(mktemp -d /tmp/tarnwick-ansible.XXXXXX)
trap 'rm -rf "$work"' EXIT

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

# The module finds tarnwick on PATH; this directory holds nothing else.
mkdir "$work/bin"
ln -s "$tarnwick" "$work/bin/tarnwick"
export PATH=$work/bin:$PATH

export ANSIBLE_COLLECTIONS_PATH=$work/collections ANSIBLE_HOME=$work/home ANSIBLE_NOCOLOR=1
export ANSIBLE_LOCAL_TEMP=$work/tmp ANSIBLE_REMOTE_TEMP=$work/tmp
# The play's "$myhostname" must reach Postfix as written, not as this variable.
export myhostname=from-the-environment
ansible-galaxy collection build ansible --output-path "$work" >/dev/null
ansible-galaxy collection install --offline "$work"/tarnwick-postfix-*.tar.gz -p "$work/collections" >/dev/null
check "ansible-doc shows the module" eval 'ansible-doc tarnwick.postfix.main_cf >/dev/null'

pf=$work/pf
mkdir "$pf"
# 0755 whatever the umask: the tool refuses a lock directory others can write to.
mkdir -p -m 0755 "$work/lock/files"
cat >"$pf/main.cf" <<'EOF'
compatibility_level = 3.6
mydestination = localhost
relay_domains =
smtpd_client_restrictions = permit_mynetworks, reject_unknown_client_hostname
smtpd_helo_restrictions = permit_mynetworks
EOF
: >"$pf/master.cf"
# Settled, as a host's main.cf is: postconf waits for one modified in the last seconds.
touch -d '1 hour ago' "$pf/main.cf"
cp -p "$pf/main.cf" "$work/main.cf.before"

# The tool tests' stand-in logs every postconf run (one line, its arguments) and runs the real one.
cp /usr/sbin/postconf "$work/postconf.real"
export STANDIN_LOG=$work/postconf.log STANDIN_REAL=$work/postconf.real
: >"$STANDIN_LOG"
mount --bind tests/tool/standins/postconf /usr/sbin/postconf
mount --bind "$work/lock" /var/lock

run=0
play() {
    run=$((run + 1))
    echo "=== run $run: ansible-playbook -i localhost, tests/ansible/main_cf.yml -e config_dir=$pf --diff $*"
    status=0
    ansible-playbook -i localhost, tests/ansible/main_cf.yml -e "config_dir=$pf" --diff "$@" \
        >"$work/out$run" 2>&1 || status=$?
    cat "$work/out$run"
    check "run $run: ansible-playbook exits 0" test "$status" -eq 0
}
recap() { grep -Eq "^localhost +: ok=[0-9]+ +changed=$1 +unreachable=0 +failed=0 .*ignored=2" "$work/out$run"; }
writes() { [[ $(grep -c '^-e ' "$STANDIN_LOG") -eq $1 ]]; }
shows() { grep -Fxq -- "$1" "$work/out$run"; }
batch_written() {
    grep '^-e ' "$STANDIN_LOG" | grep -F 'relay_domains=example.org, example.net' |
        grep -F 'smtpd_helo_restrictions=reject_invalid_helo_hostname' | grep -qF 'header_size_limit=204800'
}
value() { [[ $(MAIL_CONFIG=$pf "$work/postconf.real" -h "$1") == "$2" ]]; }

play --check
check "check run: four tasks would change" recap 4
check "check run: main.cf unchanged byte for byte" cmp -s "$work/main.cf.before" "$pf/main.cf"
check "check run: no postconf -e" writes 0
check "check run: the diff shows the value before" shows "-mydestination = localhost"
check "check run: the diff shows the value after" shows '+mydestination = $myhostname, localhost'

play
check "first run: four tasks changed" recap 4
while read -r key expected; do
    check "first run: $key = $expected" value "$key" "$expected"
done <<'EOF'
smtpd_client_restrictions permit_mynetworks, check_policy_service inet:127.0.0.1:10023
mydestination $myhostname, localhost
relay_domains example.org, example.net
smtpd_helo_restrictions reject_invalid_helo_hostname
header_size_limit 204800
EOF
check "first run: one postconf -e per changed task" writes 4
check "first run: the batch wrote its three parameters in one postconf -e" batch_written

cp -p "$pf/main.cf" "$work/main.cf.first"
touch -d '1 hour ago' "$pf/main.cf"
play
check "second run: nothing changed" recap 0
check "second run: main.cf unchanged byte for byte" cmp -s "$work/main.cf.first" "$pf/main.cf"
check "second run: no postconf -e" writes 4

# wait: another process holds the main.cf lock (the one lock file the runs made).
lock_file=$(echo "$work"/lock/files/*)
status=0
# Bounded: a module that dropped the wait would wait for ever.
flock "$lock_file" timeout -k 5 30 ansible localhost -i localhost, -c local \
    -e ansible_python_interpreter=auto_silent -m tarnwick.postfix.main_cf -a "name=relay_domains value=example.com wait=1 config_directory=$pf" \
    >"$work/out-wait" 2>&1 || status=$?
cat "$work/out-wait"
check "wait: a held lock fails the task once the wait runs out" \
    eval '((status == 2)) && grep -q "held by another process: gave up after waiting" "$work/out-wait"'

echo "ansible: $passed passed, $failed failed"
((failed == 0))

#!/usr/bin/env bash
# Builds the Ansible collection under ansible/, installs it into a temporary collections path and
# runs tests/ansible/main_cf.yml against localhost on a throw-away Postfix configuration: in check
# mode, for real, and again, checking each run's recap, main.cf and the postconf -e runs, which the
# tool tests' postconf stand-in logs. In a private mount namespace, /var/lock its own too.
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

mkdir "$work/bin" "$work/pf"  # the module finds tarnwick on PATH
ln -s "$build/tool/tarnwick" "$work/bin/tarnwick"
export PATH=$work/bin:$PATH ANSIBLE_COLLECTIONS_PATH=$work/collections ANSIBLE_HOME=$work/home ANSIBLE_NOCOLOR=1
export ANSIBLE_LOCAL_TEMP=$work/tmp ANSIBLE_REMOTE_TEMP=$work/tmp
export myhostname=from-the-environment  # the play's "$myhostname" must reach Postfix as written
ansible-galaxy collection build ansible --output-path "$work" >/dev/null
ansible-galaxy collection install --offline "$work"/tarnwick-postfix-*.tar.gz -p "$work/collections" >/dev/null
check "ansible-doc shows the module" eval 'ansible-doc tarnwick.postfix.main_cf >/dev/null'

pf=$work/pf
mkdir -p -m 0755 "$work/lock/files"  # whatever the umask: tarnwick refuses one others can write to
printf '%s\n' 'compatibility_level = 3.6' 'mydestination = localhost' 'relay_domains =' \
    'smtpd_client_restrictions = permit_mynetworks, reject_unknown_client_hostname' \
    'smtpd_helo_restrictions = permit_mynetworks' >"$pf/main.cf"
: >"$pf/master.cf"
touch -d '1 hour ago' "$pf/main.cf"  # settled: postconf waits for one modified in the last seconds
cp -p "$pf/main.cf" "$work/main.cf.before"
cp /usr/sbin/postconf "$work/postconf.real"
export STANDIN_LOG=$work/postconf.log STANDIN_REAL=$work/postconf.real
: >"$STANDIN_LOG"
mount --bind tests/tool/standins/postconf /usr/sbin/postconf
mount --bind "$work/lock" /var/lock

run=0
play() {  # one ansible-playbook run; then: changed tasks, postconf -e runs so far, main.cf to compare
    run=$((run + 1))
    local status=0
    ansible-playbook -i localhost, tests/ansible/main_cf.yml -e "config_dir=$pf" --diff "${@:4}" >"$work/out$run" 2>&1 || status=$?
    cat "$work/out$run"
    check "run $run: exits 0, $1 tasks changed" eval "((status == 0)) &&
        grep -Eq '^localhost +: ok=[0-9]+ +changed=$1 +unreachable=0 +failed=0 .*ignored=2' $work/out$run"
    check "run $run: $2 postconf -e runs so far" eval "(($(grep -c '^-e ' "$STANDIN_LOG") == $2))"
    [[ -z $3 ]] || check "run $run: main.cf unchanged byte for byte" cmp -s "$3" "$pf/main.cf"
}
value() { [[ $(MAIL_CONFIG=$pf "$work/postconf.real" -h "$1") == "$2" ]]; }

play 4 0 "$work/main.cf.before" --check
check "check run: the diff shows the value before and after" eval \
    'grep -Fxq -- "-mydestination = localhost" "$work/out$run" &&
     grep -Fxq -- "+mydestination = \$myhostname, localhost" "$work/out$run"'
play 4 4 ""
check "first run: each task's value is set, the batch's three in one postconf -e" eval \
    'value smtpd_client_restrictions "permit_mynetworks, check_policy_service inet:127.0.0.1:10023" &&
    value mydestination "\$myhostname, localhost" && grep -Fx -- "-e relay_domains=example.org, example.net \
smtpd_helo_restrictions=reject_invalid_helo_hostname header_size_limit=204800" "$STANDIN_LOG" >/dev/null'
cp -p "$pf/main.cf" "$work/main.cf.first"
touch -d '1 hour ago' "$pf/main.cf"
play 0 4 "$work/main.cf.first"

# Another process holds the main.cf lock (the one lock file the runs made); bounded, as a module
# that dropped the wait would wait for ever.
status=0
flock "$work"/lock/files/* timeout -k 5 30 ansible localhost -i localhost, -c local -e ansible_python_interpreter=auto_silent \
    -m tarnwick.postfix.main_cf -a "name=relay_domains value=example.com wait=1 config_directory=$pf" >"$work/out-wait" 2>&1 || status=$?
cat "$work/out-wait"
check "wait: a held lock fails the task once the wait runs out" \
    eval '((status == 2)) && grep -q "held by another process: gave up after waiting" "$work/out-wait"'
finish ansible

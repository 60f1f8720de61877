#!/usr/bin/python
# -*- coding: utf-8 -*-

# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

from __future__ import absolute_import, division, print_function
__metaclass__ = type


DOCUMENTATION = r'''
---
module: main_cf
short_description: Edit Postfix main.cf parameters through tarnwick
version_added: "1.0.0"
description:
  - Appends an element to a Postfix C(main.cf) list parameter unless it is already there, removes
    an element, or sets a parameter outright, by running C(tarnwick) on the managed host.
  - The module never reads nor writes C(main.cf) and never runs C(postconf) itself; C(tarnwick) does
    both under its C(main.cf) lock, and the module reports what C(tarnwick) says it changed.
  - A list of C(edits) is handed to C(tarnwick) as one batch, so that it takes the lock once, reads
    each parameter once and writes every changed parameter in one C(postconf -e) run.
requirements:
  - C(tarnwick) with the C(-v), C(-n), C(-d), C(-w) and C(-f) options, in C(PATH) or in one of the
    C(sbin) directories.
options:
  name:
    description:
      - The Postfix parameter to edit, for example C(smtpd_recipient_restrictions).
      - Required with C(value); mutually exclusive with C(edits).
    type: str
  value:
    description:
      - With C(state=present) or C(state=absent), the element to add to or remove from the list;
        it may hold several words, such as C(check_policy_service inet:127.0.0.1:10023).
      - With C(state=exact), the parameter's whole new value (it may be empty).
      - Postfix's C($name) references are passed on as written.
    type: str
  state:
    description:
      - C(present) appends C(value) to the list unless it is already an element.
      - C(absent) removes every element equal to C(value).
      - C(exact) sets the parameter to C(value) unless it already has that value.
      - Applies to C(name); each entry of C(edits) carries its own.
    type: str
    choices: [present, absent, exact]
    default: present
  edits:
    description:
      - Several edits made as one transaction, in list order; an alternative to C(name) and C(value).
      - Several entries may edit one parameter, each seeing the result of the one before.
      - Names cannot contain blanks and values cannot contain line breaks here, as the batch is
        handed over line by line; such an entry fails the task before anything runs.
    type: list
    elements: dict
    suboptions:
      name:
        description: The Postfix parameter to edit.
        type: str
        required: true
      value:
        description: The element, or with C(state=exact) the whole new value.
        type: str
        required: true
      state:
        description: As C(state).
        type: str
        choices: [present, absent, exact]
        default: present
  wait:
    description:
      - The longest time, in seconds, to wait for the C(main.cf) lock held by another process
        (C(tarnwick -w)). When it runs out the task fails and nothing is written.
      - Without it, C(tarnwick) waits as long as it takes.
    type: int
  config_directory:
    description:
      - The Postfix configuration directory whose C(main.cf) is edited, for a second Postfix
        instance. C(tarnwick) runs with C(MAIL_CONFIG) set to it.
      - Without it, the directory C(postconf) reports by default (normally C(/etc/postfix)).
    type: path
extends_documentation_fragment:
  - action_common_attributes
attributes:
  check_mode:
    support: full
    details: C(tarnwick -n) decides as a real run would and writes nothing.
  diff_mode:
    support: full
    details:
      - Before and after values of each parameter the task names.
      - The values before are learnt by one more dry run of C(tarnwick) before the edit.
  platform:
    platforms: posix
notes:
  - C(changed) is true exactly when C(tarnwick) reports a C(changed:) line, so a task that finds
    everything already in place reports no change.
  - When C(tarnwick) fails, the task fails with its C(Fatal error:) line as the message.
  - When C(mynetworks) holds Postfix's default, C(tarnwick) narrows it on the first edit; the values
    shown by C(--diff) are the narrowed ones.
author:
  - tarnwick maintainers
'''

EXAMPLES = r'''
- name: Ask the greylisting policy service about every recipient
  tarnwick.postfix.main_cf:
    name: smtpd_recipient_restrictions
    value: check_policy_service inet:127.0.0.1:10023

- name: Stop rejecting clients without reverse DNS
  tarnwick.postfix.main_cf:
    name: smtpd_client_restrictions
    value: reject_unknown_client_hostname
    state: absent

- name: Relay through the smarthost, waiting at most a minute for the main.cf lock
  tarnwick.postfix.main_cf:
    name: relayhost
    value: "[smtp.example.net]:587"
    state: exact
    wait: 60

- name: Several parameters of the second instance in one write
  tarnwick.postfix.main_cf:
    config_directory: /etc/postfix-out
    edits:
      - name: relay_domains
        value: example.org
      - name: relay_domains
        value: example.net
      - name: mydestination
        value: "$myhostname, localhost"
        state: exact
      - name: smtpd_helo_restrictions
        value: reject_non_fqdn_helo_hostname
        state: absent
'''

RETURN = r'''
changes:
  description:
    - The parameters that were written (in check mode, that would be written), with their new values.
  returned: success
  type: dict
  sample: {"relay_domains": "example.org, example.net"}
unchanged:
  description: The parameters the task names that already were as asked.
  returned: success
  type: list
  elements: str
  sample: ["mydestination"]
cmd:
  description: The C(tarnwick) command line that made the edit (or the dry run, in check mode).
  returned: when tarnwick ran
  type: list
  elements: str
  sample: ["/usr/sbin/tarnwick", "-v", "-f", "-"]
stdout:
  description: What C(tarnwick) printed on standard output.
  returned: when tarnwick ran
  type: str
  sample: "changed: relay_domains = example.org, example.net\nunchanged: mydestination\n"
stderr:
  description: What C(tarnwick) printed on standard error.
  returned: when tarnwick ran
  type: str
  sample: ""
rc:
  description: The exit status of C(tarnwick).
  returned: when tarnwick ran
  type: int
  sample: 0
'''

import re
import uuid

from ansible.module_utils.basic import AnsibleModule

STATE_OPTIONS = {'present': [], 'absent': ['-d'], 'exact': ['-r']}
STATE_WORDS = {'present': 'append', 'absent': 'remove', 'exact': 'replace'}
REPORT_LINE = re.compile(r'^(?:changed: (?P<changed>\S+) =(?: (?P<value>.*))?|unchanged: (?P<unchanged>\S+))$')


def fatal_line(stdout, stderr):
    for line in stderr.splitlines() + stdout.splitlines():
        if line.startswith('Fatal error:'):
            return line
    return None


class Tarnwick(object):
    """Runs tarnwick for one task: one edit as operands, or several as a batch on standard input."""

    def __init__(self, module):
        self.module = module
        self.path = module.get_bin_path('tarnwick', required=True)
        params = module.params
        self.environ = {}
        if params['config_directory'] is not None:
            self.environ['MAIL_CONFIG'] = params['config_directory']
        self.wait = [] if params['wait'] is None else ['-w', str(params['wait'])]

    def run(self, options, operands=None, batch=None):
        """Runs tarnwick verbosely; returns [(key, new value or None when unchanged)], in order."""
        cmd = [self.path] + options + ['-v'] + self.wait
        cmd += ['--'] + operands if batch is None else ['-f', '-']
        # Not expanded: Postfix values hold "$name" references that belong to Postfix.
        rc, out, err = self.module.run_command(cmd, data=batch, binary_data=True,
                                               environ_update=self.environ,
                                               expand_user_and_vars=False)
        self.result = dict(cmd=cmd, rc=rc, stdout=out, stderr=err)
        if rc != 0:
            msg = fatal_line(out, err) or 'tarnwick exited with status %d: %s' % (rc, err.strip())
            self.module.fail_json(msg=msg, **self.result)
        report = []
        for line in out.splitlines():
            match = REPORT_LINE.match(line)
            if match and match.group('changed'):
                report.append((match.group('changed'), match.group('value') or ''))
            elif match:
                report.append((match.group('unchanged'), None))
        # A tool that reports nothing cannot be told from one that changed nothing.
        if not report:
            self.module.fail_json(msg='tarnwick printed no "changed:" or "unchanged:" line', **self.result)
        return report


def batch_of(edits):
    lines = []
    for edit in edits:
        # The batch is split at blanks and line breaks, so such a name or value would be read
        # as a different edit.
        if ' ' in edit['name'] or '\n' in edit['name'] or '\n' in edit['value']:
            return None, 'edit %r: a name with a blank or line break, or a value with a line ' \
                         'break, cannot be handed to tarnwick in a batch' % (edit,)
        lines.append('%s %s %s\n' % (STATE_WORDS[edit['state']], edit['name'], edit['value']))
    return ''.join(lines), None


def values_before(tool, edits, single):
    """Learns each parameter's current value from a dry-run append of an element that is surely
    absent: tarnwick reports the list with that element added after ", ", or alone."""
    probe = 'tarnwick-ansible-probe-' + uuid.uuid4().hex
    if single:
        report = tool.run(['-n'], operands=[edits[0]['name'], probe])
    else:
        keys = list(dict.fromkeys(edit['name'] for edit in edits))
        report = tool.run(['-n'], batch=''.join('append %s %s\n' % (key, probe) for key in keys))
    before = {}
    for key, value in report:
        if value == probe:
            before[key] = ''
        elif value is not None and value.endswith(', ' + probe):
            before[key] = value[:-len(', ' + probe)]
        else:
            tool.module.fail_json(msg='cannot learn the value of %s before the edit: the dry run '
                                      'reported %r' % (key, value), **tool.result)
    return before


def main():
    edit_spec = dict(
        name=dict(type='str', required=True),
        value=dict(type='str', required=True),
        state=dict(type='str', default='present', choices=list(STATE_OPTIONS)),
    )
    module = AnsibleModule(
        argument_spec=dict(
            name=dict(type='str'),
            value=dict(type='str'),
            state=dict(type='str', default='present', choices=list(STATE_OPTIONS)),
            edits=dict(type='list', elements='dict', options=edit_spec),
            wait=dict(type='int'),
            config_directory=dict(type='path'),
        ),
        mutually_exclusive=[('name', 'edits'), ('value', 'edits')],
        required_one_of=[('name', 'edits')],
        required_together=[('name', 'value')],
        supports_check_mode=True,
    )
    params = module.params
    single = params['edits'] is None
    edits = [dict(name=params['name'], value=params['value'], state=params['state'])] if single \
        else params['edits']
    if not edits:
        module.exit_json(changed=False, changes={}, unchanged=[])
    batch = None
    if not single:
        batch, error = batch_of(edits)
        if error:
            module.fail_json(msg=error)

    tool = Tarnwick(module)
    before = values_before(tool, edits, single) if module._diff else None
    options = ['-n'] if module.check_mode else []
    if single:
        report = tool.run(options + STATE_OPTIONS[params['state']], operands=[params['name'], params['value']])
    else:
        report = tool.run(options, batch=batch)

    changes = dict((key, value) for key, value in report if value is not None)
    result = dict(tool.result, changed=bool(changes), changes=changes,
                  unchanged=[key for key, value in report if value is None])
    if before is not None:
        header = params['config_directory'] + '/main.cf' if params['config_directory'] else 'main.cf'
        result['diff'] = dict(
            before_header=header, after_header=header,
            before=''.join('%s = %s\n' % (key, before.get(key, '')) for key, _ in report),
            after=''.join('%s = %s\n' % (key, before.get(key, '') if value is None else value)
                          for key, value in report))
    module.exit_json(**result)


if __name__ == '__main__':
    main()

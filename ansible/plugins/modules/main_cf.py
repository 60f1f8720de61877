#!/usr/bin/python
# -*- coding: utf-8 -*-

# Copyright: (c) 2026 The tarnwick authors
# MIT License (see LICENSE in this collection or https://opensource.org/licenses/MIT)

from __future__ import absolute_import, division, print_function
__metaclass__ = type


DOCUMENTATION = r'''
---
module: main_cf
short_description: Edit Postfix main.cf parameters and master.cf services through tarnwick
version_added: "1.0.0"
description:
  - Appends an element to a Postfix C(main.cf) list parameter unless it is already there (at the
    end, or before or after a given element), removes an element, sets a parameter outright or
    removes its setting, by running C(tarnwick) on the managed host. A C(SERVICE/TYPE/NAME) key
    edits the setting NAME of a C(master.cf) service, a C(SERVICE/TYPE) key the service's whole
    entry and a C(SERVICE/TYPE/FIELD) key one of its fields.
  - The module never reads nor writes C(main.cf) and never runs C(postconf) itself; C(tarnwick) does
    both under its C(main.cf) lock, and the module reports what C(tarnwick) says it changed.
  - Each task runs C(tarnwick) exactly once, with C(--json); C(changed), the diff and the warnings
    all come from what that run read and wrote under its lock.
  - A list of C(edits) is handed to C(tarnwick) as one batch, so that it takes the lock once, reads
    each parameter once and writes every changed parameter in one run of C(postconf).
requirements:
  - C(tarnwick) with the C(--json), C(--strict), C(-u), C(-n), C(-d), C(-w) and C(-f) options, in
    C(PATH) or in one of the C(sbin) directories; with C(--before) and C(--after) for C(before) and
    C(after), C(--reload) for C(reload), and C(SERVICE/TYPE) and C(SERVICE/TYPE/FIELD) keys for
    entries and fields (the Debian package C(tarnwick)).
options:
  name:
    description:
      - The Postfix parameter to edit, for example C(smtpd_recipient_restrictions), or a
        C(master.cf) service setting as C(SERVICE/TYPE/NAME), for example
        C(submission/inet/smtpd_client_restrictions).
      - A whole C(master.cf) entry as C(SERVICE/TYPE), for example C(submission/inet), with
        C(state=exact) (its value C(SERVICE TYPE PRIVATE UNPRIV CHROOT WAKEUP MAXPROC COMMAND
        [ARGS]); the entry's C(-o) settings are part of it, and a value without them drops them)
        or C(state=unset) (the entry commented out).
      - One field of an entry as C(SERVICE/TYPE/FIELD), FIELD one of C(private), C(unprivileged),
        C(chroot), C(wakeup) and C(process_limit), with C(state=exact) alone; the entry must exist.
      - In C(edits), the fields and settings that follow their entry go into it, so that a second
        run finds the entry as the task left it.
      - Mutually exclusive with C(edits).
    type: str
    version_added: "1.0.0"
  value:
    description:
      - A string, a number (written as its decimal text), a boolean (written as Postfix's C(yes) or
        C(no)) or a list of those. A dict, or a list holding one, fails the task before anything
        runs.
      - With C(state=present) or C(state=absent), the element to add to or remove from the list;
        it may hold several words, such as C(check_policy_service inet:127.0.0.1:10023). A list
        adds or removes each of its elements.
      - With C(state=exact), the parameter's whole new value (it may be empty); a list is joined
        by C(", "), for a service setting by C(","), for a C(master.cf) entry by a blank.
      - A boolean for a C(master.cf) field is written as C(y) or C(n).
      - Postfix's C($name) references are passed on as written.
      - Required with C(name), except with C(state=unset), which takes none.
    type: raw
    version_added: "1.0.0"
  state:
    description:
      - C(present) appends C(value) to the list unless it is already an element.
      - C(absent) removes every element equal to C(value).
      - C(exact) sets the parameter to C(value) unless it already has that value.
      - C(unset) removes the parameter's setting, so that Postfix falls back to its default (a
        service setting to the C(main.cf) parameter); nothing changes when it is not set.
      - Applies to C(name); each entry of C(edits) carries its own.
    type: str
    choices: [present, absent, exact, unset]
    default: present
    version_added: "1.0.0"
  before:
    description:
      - With C(state=present), put C(value) right before the first occurrence of this element of
        the list (C(tarnwick --before)) instead of at the end. Postfix stops a restriction list at
        the first restriction that decides, so what stands after it is never asked.
      - One element, or a run of them such as C(check_client_access hash:/etc/postfix/access).
      - Nothing changes when C(value) already stands anywhere before it; an occurrence after it is
        moved. When the list lacks it, the task fails and nothing is written.
      - A list goes in its order, each element right before this one.
      - Mutually exclusive with C(after) and C(edits).
    type: str
    version_added: "1.2.0"
  after:
    description:
      - As C(before), but right after the end of the first occurrence (C(tarnwick --after)), and
        nothing changes when C(value) already stands anywhere after it.
      - A list goes in its order, each element after the one before it.
      - Mutually exclusive with C(before) and C(edits).
    type: str
    version_added: "1.2.0"
  edits:
    description:
      - Several edits made as one transaction, in list order; an alternative to C(name) and C(value).
      - Several entries may edit one parameter, each seeing the result of the one before.
      - Names cannot contain blanks and values cannot contain line breaks here, as the batch is
        handed over line by line; such an entry fails the task before anything runs. The elements
        of a C(before) or C(after) run are handed over joined by commas, so one with a blank inside
        braces fails the same way.
    type: list
    elements: dict
    version_added: "1.0.0"
    suboptions:
      name:
        description: As C(name).
        type: str
        required: true
        version_added: "1.0.0"
      value:
        description: As C(value).
        type: raw
        version_added: "1.0.0"
      state:
        description: As C(state).
        type: str
        choices: [present, absent, exact, unset]
        default: present
        version_added: "1.0.0"
      before:
        description: As C(before); mutually exclusive with C(after).
        type: str
        version_added: "1.2.0"
      after:
        description: As C(after); mutually exclusive with C(before).
        type: str
        version_added: "1.2.0"
  wait:
    description:
      - The longest time, in seconds, to wait for the C(main.cf) lock held by another process
        (C(tarnwick -w)). When it runs out the task fails and nothing is written.
      - C(0) does not wait at all; a negative number fails the task before anything runs.
    type: int
    default: 60
    version_added: "1.0.0"
  strict:
    description:
      - Refuse an edit of a parameter that Postfix does not use (a misspelt name, say) instead of
        writing it with a warning (C(tarnwick --strict)). Nothing of the task is written then.
    type: bool
    default: false
    version_added: "1.1.0"
  reload:
    description:
      - After a task that wrote something (never in check mode, never when nothing changed), run
        C(postfix reload) when Postfix is running for the configuration edited
        (C(tarnwick --reload)); the C(reloaded) return value says whether it did.
      - A reload that fails fails the task; what was written stays written.
      - Postfix applies C(inet_interfaces) and C(inet_protocols) only when it starts; a change of
        either warns so, with or without this option.
    type: bool
    default: false
    version_added: "1.2.0"
  config_directory:
    description:
      - The Postfix configuration directory whose C(main.cf) is edited, for a second Postfix
        instance. C(tarnwick) runs with C(MAIL_CONFIG) set to it.
      - Without it, the directory C(postconf) reports by default (normally C(/etc/postfix)).
    type: path
    version_added: "1.0.0"
extends_documentation_fragment:
  - action_common_attributes
attributes:
  check_mode:
    support: full
    details: C(tarnwick -n) decides as a real run would and writes nothing.
  diff_mode:
    support: full
    details:
      - C(NAME = VALUE) lines of each parameter the task names, before and after, from the values
        the run read under its lock; a parameter without a setting afterwards is left out.
  platform:
    platforms: posix
notes:
  - C(changed) is true exactly when C(tarnwick) reports a parameter as changed, so a task that
    finds everything already in place reports no change.
  - A parameter that Postfix does not use (the name is unknown to it and nothing refers to it) is
    written with a warning, which the play shows; C(strict) refuses it.
  - When C(tarnwick) fails, the task fails with its whole C(Fatal error:) message.
  - When C(tarnwick) is not installed, the task fails saying which package brings it.
seealso:
  - module: ansible.builtin.service
    description: Reload or restart Postfix from a handler instead of with C(reload).
  - name: postconf(5)
    description: Postfix's parameters, and which need a start of Postfix rather than a reload.
    link: https://www.postfix.org/postconf.5.html
  - name: master(5)
    description: The fields of a C(master.cf) entry.
    link: https://www.postfix.org/master.5.html
author:
  - tarnwick maintainers
'''

EXAMPLES = r'''
- name: Ask the greylisting policy service about every recipient
  tarnwick.postfix.main_cf:
    name: smtpd_recipient_restrictions
    value: check_policy_service inet:127.0.0.1:10023

- name: Ask the quota policy service about the local networks' mail too, before they are let through
  tarnwick.postfix.main_cf:
    name: smtpd_recipient_restrictions
    value: check_policy_service unix:private/quota
    before: permit_mynetworks

- name: Let authenticated clients relay on the submission port, before the relay check refuses them
  tarnwick.postfix.main_cf:
    name: submission/inet/smtpd_recipient_restrictions
    value: permit_sasl_authenticated
    before: reject_unauth_destination

- name: Stop rejecting clients without reverse DNS
  tarnwick.postfix.main_cf:
    name: smtpd_client_restrictions
    value: reject_unknown_client_hostname
    state: absent

- name: Two HELO checks, each appended unless present
  tarnwick.postfix.main_cf:
    name: smtpd_helo_restrictions
    value: [reject_invalid_helo_hostname, reject_non_fqdn_helo_hostname]

- name: Authentication over TLS only, refusing a misspelt name
  tarnwick.postfix.main_cf:
    name: smtpd_tls_auth_only
    value: true
    state: exact
    strict: true

- name: Only authenticated clients on the submission port
  tarnwick.postfix.main_cf:
    name: submission/inet/smtpd_client_restrictions
    value: [permit_sasl_authenticated, reject]
    state: exact

- name: Switch on the submission port, commented out in Debian's master.cf, with its settings
  tarnwick.postfix.main_cf:
    reload: true
    edits:
      - { name: submission/inet, value: submission inet n - y - - smtpd, state: exact }
      - { name: submission/inet/process_limit, value: 20, state: exact }
      - { name: submission/inet/syslog_name, value: postfix/submission, state: exact }
      - { name: submission/inet/smtpd_sasl_auth_enable, value: true, state: exact }

- name: Back to Postfix's default banner
  tarnwick.postfix.main_cf:
    name: smtpd_banner
    state: unset

- name: Several parameters of the second instance in one write, failing at once if it is locked
  tarnwick.postfix.main_cf:
    config_directory: /etc/postfix-out
    wait: 0
    edits:
      - name: relay_domains
        value: [example.org, example.net]
        state: exact
      - name: mydestination
        value: "$myhostname, localhost"
        state: exact
      - name: message_size_limit
        value: 20480000
        state: exact
      - name: smtpd_helo_restrictions
        value: reject_non_fqdn_helo_hostname
        state: absent
      - name: smtpd_client_restrictions
        value: reject_unknown_client_hostname
        after: check_client_access hash:/etc/postfix/access
'''

RETURN = r'''
changes:
  description:
    - The parameters that were written (in check mode, that would be written), with their new
      values; C(null) for one whose setting was removed.
  returned: success
  type: dict
  sample: {"relay_domains": "example.org, example.net"}
unchanged:
  description: The parameters the task names that already were as asked.
  returned: success
  type: list
  elements: str
  sample: ["mydestination"]
parameters:
  description:
    - C(tarnwick)'s report, one entry per parameter in the order of first mention.
  returned: when tarnwick ran
  type: list
  elements: dict
  contains:
    name:
      description: The parameter, or the service setting as C(SERVICE/TYPE/NAME).
      type: str
    before:
      description:
        - The value the run read under its lock; C(null) for a setting it found not set (a
          service setting that C(master.cf) lacks, or a parameter C(state=unset) found not set).
      type: str
    before_set:
      description:
        - Whether its file set it before the run; false where C(before) is only Postfix's default.
      type: bool
    after:
      description:
        - The value afterwards (in check mode, the value it would have); C(null) when the setting
          was removed, or was not set and left so.
      type: str
    changed:
      description: Whether it was (in check mode, would be) written.
      type: bool
    warnings:
      description: C(tarnwick)'s warnings about this parameter, also shown by the play.
      type: list
      elements: str
  sample: [{"name": "relay_domains", "before": "example.org", "before_set": true,
            "after": "example.org, example.net", "changed": true, "warnings": []}]
report:
  description:
    - C(tarnwick)'s whole JSON report as it printed it, for a play to keep. Written to a file on
      the managed host, C(tarnwick --undo FILE) takes back what the task changed, and only that,
      as long as no one has changed those parameters since (a check mode report is refused).
  returned: when tarnwick ran
  type: dict
  sample: {"changed": true, "dry_run": false, "config_directory": "/etc/postfix",
           "parameters": [{"name": "relay_domains", "before": "example.org", "before_set": true,
                           "after": "example.org, example.net", "changed": true, "warnings": []}]}
cmd:
  description: The C(tarnwick) command line that made the edit (or the dry run, in check mode).
  returned: when tarnwick ran
  type: list
  elements: str
  sample: ["/usr/sbin/tarnwick", "--json", "-w", "60", "-f", "-"]
stdout:
  description: What C(tarnwick) printed on standard output (its JSON report).
  returned: when tarnwick ran
  type: str
stderr:
  description: What C(tarnwick) printed on standard error.
  returned: when tarnwick ran
  type: str
  sample: ""
reloaded:
  description:
    - Whether C(tarnwick --reload) reloaded Postfix (false when Postfix was not running, or in
      check mode).
  returned: with reload
  type: bool
  sample: true
  version_added: "1.2.0"
rc:
  description: The exit status of C(tarnwick).
  returned: when tarnwick ran
  type: int
  sample: 0
'''

import json
import numbers
import re

from ansible.module_utils.basic import AnsibleModule
from ansible.module_utils.six import string_types

STATES = ['present', 'absent', 'exact', 'unset']
STATE_OPTIONS = {'present': [], 'absent': ['-d'], 'exact': ['-r']}
STATE_WORDS = {'present': 'append', 'absent': 'remove', 'exact': 'replace', 'unset': 'unset'}
FIELDS = ['private', 'unprivileged', 'chroot', 'wakeup', 'process_limit']
PACKAGE = 'tarnwick'


def is_service_key(name):
    return name.count('/') == 2


def is_field_key(name):
    return is_service_key(name) and name.rsplit('/', 1)[1] in FIELDS


def postfix_text(value, field=False):
    """The text Postfix reads for one scalar (a master.cf field's y or n for a boolean), or None
    for anything else."""
    if isinstance(value, bool):  # before numbers: a bool is an int to Python
        return ('y' if value else 'n') if field else 'yes' if value else 'no'
    if isinstance(value, numbers.Number):
        return str(value)
    if isinstance(value, string_types):
        return value
    return None


def type_word(value):
    return 'a dict' if isinstance(value, dict) else 'a list' if isinstance(value, list) \
        else 'null' if value is None else 'a %s' % type(value).__name__


def elements_of(edit):
    """The texts an edit hands to tarnwick, or raises ValueError naming the parameter."""
    name, value, state = edit['name'], edit['value'], edit['state']
    if state == 'unset':
        if value is not None:
            raise ValueError('%s: state=unset takes no value' % name)
        return [None]
    values = value if isinstance(value, list) else [value]
    texts = [postfix_text(element, is_field_key(name)) for element in values]
    for element, text in zip(values, texts):
        if text is None:
            where = 'holds' if isinstance(value, list) else 'is'
            raise ValueError('%s: the value %s %s; a value is a string, a number, a boolean or a '
                             'list of those' % (name, where, type_word(element)))
    if state == 'exact' and isinstance(value, list):
        # master.cf refuses blanks in a service setting, so its list has none; an entry's fields
        # stand between blanks.
        joiner = ' ' if name.count('/') == 1 else ',' if is_service_key(name) else ', '
        return [joiner.join(texts)]
    return texts


def placements_of(edit, texts):
    """The [option, anchor] placing each text, or None for an append at the end; raises
    ValueError. A list placed after an anchor keeps its order: each text goes after the one
    before it."""
    option = '--before' if edit.get('before') is not None else \
        '--after' if edit.get('after') is not None else None
    if option is None:
        return [None] * len(texts)
    if edit['state'] != 'present':
        raise ValueError('%s: before and after place an appended value; state=%s takes neither'
                         % (edit['name'], edit['state']))
    anchors = [edit['before']] * len(texts) if option == '--before' else [edit['after']] + texts[:-1]
    return [[option, anchor] for anchor in anchors]


def commands_of(edits):
    """[(verb, name, text or None, placement or None)] for every edit, in order; raises
    ValueError."""
    commands = []
    for edit in edits:
        texts = elements_of(edit)
        commands += [(STATE_WORDS[edit['state']], edit['name'], text, placement)
                     for text, placement in zip(texts, placements_of(edit, texts))]
    return commands


def batch_anchor(anchor):
    """The anchor as a batch line takes it, its elements joined by commas; None for one that no
    line can hold: empty, with a line break, or with a blank inside braces."""
    words = re.split(r'[ \t]+', anchor.strip(' \t'))
    if '\n' in anchor or words == [''] or any(w.count('{') != w.count('}') for w in words):
        return None
    return ','.join(words)


def batch_of(commands):
    lines = []
    for verb, name, text, placement in commands:
        # The batch is split at blanks and line breaks, so such a name or value would be read
        # as a different edit.
        if ' ' in name or '\n' in name or '\n' in (text or ''):
            raise ValueError('edit %r: a name with a blank or line break, or a value with a line '
                             'break, cannot be handed to tarnwick in a batch' % ((name, text),))
        if placement:
            anchor = batch_anchor(placement[1])
            if anchor is None:
                raise ValueError('edit %r: the anchor %r is empty, or holds a line break or a blank '
                                 'inside braces, and cannot be handed to tarnwick in a batch'
                                 % ((name, text), placement[1]))
            verb = '%s %s %s' % (verb, placement[0], anchor)
        lines.append('%s %s\n' % (verb, name) if text is None else '%s %s %s\n' % (verb, name, text))
    return ''.join(lines)


def fatal_message(rc, out, err):
    """The whole of tarnwick's failure: its JSON error, whose message may span lines, else its
    Fatal error line."""
    try:
        error = json.loads(out)['error']
        return 'Fatal error: %s(%s)' % (error['type'], error['message'])
    except (ValueError, KeyError, TypeError):
        pass
    for line in err.splitlines():
        if line.startswith('Fatal error:'):
            return line
    return 'tarnwick exited with status %d: %s' % (rc, err.strip())


def run_tarnwick(module, args, batch=None):
    """Runs tarnwick once with args after its common options, and batch on standard input;
    returns its JSON report and the result fields of the run."""
    params = module.params
    tool = module.get_bin_path('tarnwick', opt_dirs=['/usr/sbin', '/sbin'])
    if tool is None:
        module.fail_json(msg='tarnwick is not installed on this host: install the package %s '
                         '(apt install %s), which brings /usr/sbin/tarnwick' % (PACKAGE, PACKAGE))
    cmd = [tool, '--json', '-w', str(params['wait'])]
    cmd += ['-n'] if module.check_mode else []
    cmd += ['--strict'] if params['strict'] else []
    cmd += ['--reload'] if params['reload'] else []
    cmd += args
    environ = {}
    if params['config_directory'] is not None:
        environ['MAIL_CONFIG'] = params['config_directory']
    # Not expanded: Postfix values hold "$name" references that belong to Postfix.
    rc, out, err = module.run_command(cmd, data=batch, binary_data=True, environ_update=environ,
                                      expand_user_and_vars=False)
    result = dict(cmd=cmd, rc=rc, stdout=out, stderr=err)
    if rc != 0:
        module.fail_json(msg=fatal_message(rc, out, err), **result)
    try:
        report = json.loads(out)
    except ValueError:
        report = None
    # A tool that reports nothing cannot be told from one that changed nothing.
    if not isinstance(report, dict) or not report.get('parameters'):
        module.fail_json(msg='tarnwick printed no report of its parameters', **result)
    return report, result


def diff_of(report):
    def lines(field):
        return ''.join('%s = %s\n' % (p['name'], p[field])
                       for p in report['parameters'] if p[field] is not None)
    header = report.get('config_directory') or 'main.cf'
    return dict(before_header=header, after_header=header, before=lines('before'), after=lines('after'))


def main():
    edit_spec = dict(
        name=dict(type='str', required=True),
        value=dict(type='raw'),
        state=dict(type='str', default='present', choices=STATES),
        before=dict(type='str'),
        after=dict(type='str'),
    )
    module = AnsibleModule(
        argument_spec=dict(
            name=dict(type='str'),
            value=dict(type='raw'),
            state=dict(type='str', default='present', choices=STATES),
            before=dict(type='str'),
            after=dict(type='str'),
            edits=dict(type='list', elements='dict', options=edit_spec,
                       mutually_exclusive=[('before', 'after')]),
            wait=dict(type='int', default=60),
            strict=dict(type='bool', default=False),
            reload=dict(type='bool', default=False),
            config_directory=dict(type='path'),
        ),
        mutually_exclusive=[('name', 'edits'), ('value', 'edits'), ('before', 'after'),
                            ('before', 'edits'), ('after', 'edits')],
        required_one_of=[('name', 'edits')],
        supports_check_mode=True,
    )
    params = module.params
    if params['wait'] < 0:
        module.fail_json(msg='wait must be 0 or more seconds, not %d' % params['wait'])
    single = params['edits'] is None
    edits = [dict((key, params[key]) for key in ('name', 'value', 'state', 'before', 'after'))] \
        if single else params['edits']
    try:
        for edit in edits:
            if edit['value'] is None and edit['state'] != 'unset':
                raise ValueError('%s: state=%s needs a value' % (edit['name'], edit['state']))
        commands = commands_of(edits)
        batch = None if single and len(commands) == 1 else batch_of(commands)
    except ValueError as e:
        module.fail_json(msg=str(e))
    if not commands:
        module.exit_json(changed=False, changes={}, unchanged=[], parameters=[])

    if batch is not None:
        report, result = run_tarnwick(module, ['-f', '-'], batch=batch)
    elif params['state'] == 'unset':
        report, result = run_tarnwick(module, ['--unset', params['name']])
    else:
        report, result = run_tarnwick(module, STATE_OPTIONS[params['state']] + (commands[0][3] or []) +
                                      ['--', params['name'], commands[0][2]])

    for parameter in report['parameters']:
        for warning in parameter.get('warnings') or []:
            module.warn(warning)
    result.update(changed=any(p['changed'] for p in report['parameters']),
                  changes=dict((p['name'], p['after']) for p in report['parameters'] if p['changed']),
                  unchanged=[p['name'] for p in report['parameters'] if not p['changed']],
                  parameters=report['parameters'], report=report)
    if params['reload']:
        result['reloaded'] = bool(report.get('reloaded'))
    if module._diff:
        result['diff'] = diff_of(report)
    module.exit_json(**result)


if __name__ == '__main__':
    main()

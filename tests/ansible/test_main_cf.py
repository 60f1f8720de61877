# The main_cf module's pure functions: what each edit hands to tarnwick, and the batch text.
# Needs Ansible's Python package, which the module imports.
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', '..', 'ansible', 'plugins', 'modules'))
from main_cf import batch_of, commands_of, elements_of, fatal_message  # noqa: E402


class TestMainCf(unittest.TestCase):
    def test_elements(self):
        policy = 'check_policy_service { inet:127.0.0.1:10023, timeout=10s }'
        for name, value, state, texts in [
                ('p', policy, 'present', [policy]), ('p', ['a', 'b c'], 'absent', ['a', 'b c']),
                ('p', [True, False, 0, 2.5], 'present', ['yes', 'no', '0', '2.5']),
                ('p', 20480000, 'exact', ['20480000']), ('p', [], 'exact', ['']),
                ('p', ['$myhostname', 'localhost'], 'exact', ['$myhostname, localhost']),
                ('s/inet/p', ['permit', 'reject'], 'exact', ['permit,reject']),
                ('p', [], 'present', []), ('p', None, 'unset', [None]),
                ('s/inet', ['s', 'inet', 'n', '-'], 'exact', ['s inet n -']), ('s/inet/chroot', False, 'exact', ['n'])]:
            with self.subTest(value=value, state=state):
                self.assertEqual(elements_of(dict(name=name, value=value, state=state)), texts)

    def test_refused_values(self):
        for value, state, message in [
                ('x', 'unset', 'state=unset takes no value'), ({'a': 1}, 'exact', 'the value is a dict;'),
                (['a', ['b']], 'present', 'the value holds a list;'),
                (['a', None], 'absent', 'the value holds null;'),
                ('x', 'exact', 'before and after place an appended value; state=exact takes neither')]:
            with self.subTest(value=value, state=state):
                with self.assertRaisesRegex(ValueError, '^p: ' + message):
                    commands_of([dict(name='p', value=value, state=state, before='z')])

    def test_fatal_message(self):  # the JSON error holds what the Fatal error line cuts at a line break
        self.assertEqual(fatal_message(1, '{"error": {"type": "T", "message": "p: fatal: x\\n"}}',
                                       'Fatal error: T(p: fatal: x\n)\n'), 'Fatal error: T(p: fatal: x\n)')

    def test_batch(self):
        edits = [dict(name=n, value=v, state=s, **dict(placed)) for n, v, s, *placed in [
            ('p', ['a', 'b c'], 'present'), ('q', True, 'absent'), ('s/inet/r', ['x', 'y'], 'exact'),
            ('t', '', 'exact'), ('u', None, 'unset'), ('v', ['a b', 'c'], 'present', ('after', 'x \t y')),
            ('w', ['d', 'e'], 'present', ('before', 'inline:{a=b}'))]]
        self.assertEqual(batch_of(commands_of(edits)), 'append p a\nappend p b c\nremove q yes\n'
                         'replace s/inet/r x,y\nreplace t \nunset u\nappend --after x,y v a b\n'
                         'append --after a,b v c\nappend --before inline:{a=b} w d\n'
                         'append --before inline:{a=b} w e\n')
        for command in [('append', 'a b', 'x', None), ('unset', 'a\nb', None, None),
                        ('replace', 'p', 'x\nunset q', None), ('append', 'p', 'x', ['--before', ' ']),
                        ('append', 'p', 'x', ['--after', 'inline:{ a }'])]:
            with self.subTest(command=command):
                with self.assertRaisesRegex(ValueError, 'cannot be handed to tarnwick in a batch'):
                    batch_of([command])

# The modules' one way to the encoders: the vardo-encoder command-line tool on
# the managed machine, called with --json, its exit status passed on.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import os
import re
import shlex

# Options every module takes.
CLI_ARGS = dict(
    cli=dict(type='raw', default='vardo-encoder'),
    device=dict(type='str'),
    all=dict(type='bool', default=False),
)
MUTUALLY_EXCLUSIVE = [('device', 'all')]

EXIT_NO_ENCODER = 3


def squeeze(text):
    """Lower case without blanks, hyphens or underscores, as the tool compares names."""
    return re.sub(r'[\s_-]', '', str(text)).lower()


class VardoCli(object):
    def __init__(self, module):
        self.module = module
        cli = module.params['cli']
        try:
            self.argv = shlex.split(cli) if isinstance(cli, str) else [str(a) for a in cli]
        except (ValueError, TypeError) as e:
            module.fail_json(msg='cli %r cannot be split into words: %s' % (cli, e))
        if not self.argv:
            module.fail_json(msg='cli is empty: give the program to call, e.g. vardo-encoder')
        self.calls = 0

    def run(self, args, fail=True):
        """Runs the tool with args; fails the task with its message and exit status unless fail is False."""
        argv = self.argv + list(args)
        self.calls += 1
        rc, out, err = self.module.run_command(argv)
        if rc != 0 and fail:
            self.fail(rc, err, out, argv)
        return rc, out, err

    def fail(self, rc, err, out, argv, prefix='', changed=False):
        message = (err or '').strip() or (out or '').strip().splitlines()[-1:] or ['no message']
        if isinstance(message, list):
            message = message[0]
        self.module.fail_json(msg=prefix + message, rc=rc, stdout=out, stderr=err, cmd=argv, changed=changed)

    def json(self, args):
        rc, out, err = self.run(['--json'] + list(args))
        try:
            return json.loads(out)
        except ValueError:
            self.module.fail_json(msg='%s printed no JSON for %s' % (self.argv[0], ' '.join(args)),
                                  stdout=out, stderr=err, rc=rc)

    def bus(self):
        """The encoders and the loaders on the machine, as 'list --json' reports them."""
        found = self.json(['list'])
        return ([d for d in found if d.get('kind') == 'encoder'],
                [d for d in found if d.get('kind') == 'loader'])

    def status(self, encoder):
        return self.json(['--device', encoder['port'] or encoder['path'], 'status'])

    def targets(self, encoders, loaders, take_loaders=False):
        """The encoders named by device / all; loaders only with take_loaders.

        Fails the task when the choice finds nothing, or, without device and
        all, when there is more than one encoder."""
        device = self.module.params['device']
        every = self.module.params['all']
        usable = encoders + (loaders if take_loaders else [])
        if device:
            chosen = [d for d in usable if device in (d.get('port'), d.get('serial'), d.get('path'))]
            if chosen:
                return chosen[:1]
            waiting = [d for d in loaders if device == d.get('port')]
            if waiting:
                self.no_encoder(waiting)
            self.module.fail_json(
                msg="No encoder has the path, serial number or port '%s' (found: %s)."
                    % (device, ', '.join(d['port'] for d in usable) or 'none'), rc=EXIT_NO_ENCODER)
        if not usable:
            self.no_encoder(loaders)
        if every:
            return usable
        if len(usable) > 1:
            self.module.fail_json(
                msg='%d encoders are attached (ports %s): name one with device, or use all: true.'
                    % (len(usable), ', '.join(d['port'] for d in usable)), rc=EXIT_NO_ENCODER)
        return usable

    def no_encoder(self, loaders):
        if loaders:
            self.module.fail_json(
                msg='No encoder is running: the encoder on port %s waits in its bootstrap loader '
                    '(its firmware does not run). Program it with vardo.encoder.firmware and recover: true.'
                    % ', '.join(d['port'] for d in loaders), rc=EXIT_NO_ENCODER, loaders=loaders)
        self.module.fail_json(msg='No encoder found on this machine.', rc=EXIT_NO_ENCODER)

    def stuck(self, loaders):
        """Fails the task for encoders left waiting in their loaders (after the others were done)."""
        if loaders and self.module.params['all']:
            self.no_encoder(loaders)


def config_file():
    """The configuration file the tool records saved settings in."""
    base = os.environ.get('XDG_DATA_HOME') or os.path.join(os.path.expanduser('~'), '.local', 'share')
    return os.path.join(base, 'VardoInterface', 'USBUtilityCfg.ini')


def read_config():
    """The appSettings of the configuration file as a dict ({} when missing)."""
    values = {}
    section = None
    try:
        with open(config_file(), encoding='utf-8', errors='replace') as f:
            for line in f:
                line = line.strip()
                if line.startswith('['):
                    section = line.strip('[]').strip()
                elif '=' in line and section == 'appSettings':
                    key, value = line.split('=', 1)
                    values[key.strip()] = value.strip()
    except (IOError, OSError):
        return {}
    return values

# The modules' one way to the encoders: the vardo-encoder command-line tool on
# the managed machine, called with --json, its exit status passed on. What the
# tool knows (settings, layouts, key names, the configuration file) stays in
# the tool: the modules only choose encoders, call it and report.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import os
import shlex
import subprocess

# Options every module takes.
CLI_ARGS = dict(
    cli=dict(type='raw', default='vardo-encoder'),
    device=dict(type='str'),
    all=dict(type='bool', default=False),
)
MUTUALLY_EXCLUSIVE = [('device', 'all')]

EXIT_NO_ENCODER = 3


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

    def run(self, args, fail=True, data=None):
        """Runs the tool with args (data on its standard input); fails the task
        with its message and exit status unless fail is False."""
        argv = self.argv + list(args)
        self.calls += 1
        if data is None:
            rc, out, err = self.module.run_command(argv)
        else:
            rc, out, err = self.run_with_input(argv, data)
        if rc != 0 and fail:
            self.fail(rc, err, out, argv)
        return rc, out, err

    def run_with_input(self, argv, data):
        """Runs argv with data on its standard input; (rc, out, err).

        communicate() writes the data while it reads the tool's output, and
        takes a tool that ends before reading it all (no encoder found, a
        refused option) as having ended: the write cannot fail the task with a
        broken pipe, and the tool's own message and exit status tell why."""
        argv = [os.path.expanduser(os.path.expandvars(a)) for a in argv]
        try:
            process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE)
            out, err = process.communicate(data.encode('utf-8'))
        except OSError as e:
            self.module.fail_json(msg='%s cannot be run: %s' % (argv[0], e.strerror or e), rc=e.errno or 1,
                                  cmd=argv)
        return process.returncode, out.decode('utf-8', 'replace'), err.decode('utf-8', 'replace')

    def fail(self, rc, err, out, argv, prefix='', **extra):
        message = (err or '').strip() or (out or '').strip() or 'no message'
        if rc == EXIT_NO_ENCODER and 'not connected' in message:
            prefix += 'No encoder found on this machine: '
        self.module.fail_json(msg=prefix + message, rc=rc, stdout=out, stderr=err, cmd=argv, **extra)

    def side_by_side(self, commands):
        """Runs each args of commands at the same time (one encoder each); their (rc, out, err) in order."""
        started = []
        for args in commands:
            self.calls += 1
            started.append(subprocess.Popen(self.argv + list(args), stdin=subprocess.DEVNULL,
                                            stdout=subprocess.PIPE, stderr=subprocess.PIPE))
        finished = []
        for process in started:
            out, err = process.communicate()
            finished.append((process.returncode, out.decode('utf-8', 'replace'), err.decode('utf-8', 'replace')))
        return finished

    def json(self, args, fail=True, data=None):
        """The tool's JSON for args, and its exit status."""
        rc, out, err = self.run(['--json'] + list(args), fail=fail, data=data)
        try:
            return json.loads(out), rc, err
        except ValueError:
            if rc != 0:
                # Ended before it could say more, in JSON or not: its own words and exit status.
                self.fail(rc, ' '.join(err.split()), out, self.argv + ['--json'] + list(args),
                          prefix='%s ended with exit status %d: ' % (self.argv[0], rc))
            self.module.fail_json(msg='%s printed no JSON for %s' % (self.argv[0], ' '.join(args)),
                                  stdout=out, stderr=err, rc=rc)

    def bus(self):
        """The encoders and the loaders on the machine, as 'list --json' reports them."""
        found, _, _ = self.json(['list'])
        return ([d for d in found if d.get('kind') == 'encoder'],
                [d for d in found if d.get('kind') == 'loader'])

    def selection(self):
        """The tool's arguments that choose the encoders: --all, --device, or
        (with neither) the only encoder, failing when there are several."""
        if self.module.params['all']:
            return ['--all']
        if self.module.params['device']:
            return ['--device', self.module.params['device']]
        encoders, loaders = self.bus()
        if len(encoders) > 1:
            self.module.fail_json(
                msg='%d encoders are attached (ports %s): name one with device, or use all: true.'
                    % (len(encoders), ', '.join(d['port'] for d in encoders)), rc=EXIT_NO_ENCODER)
        if not encoders:
            self.no_encoder(loaders)
        return ['--device', encoders[0]['port'] or encoders[0]['path']]

    def each_port(self, args, data=None):
        """Runs args on the chosen encoders; one result a port, each with its
        port, exit, output (the command's JSON) and messages, as --all reports
        them. The failed ports, if any, fail the task after the others are done."""
        selection = self.selection()
        result, rc, err = self.json(selection + list(args), fail=False, data=data)
        ports = result if isinstance(result, list) else [
            dict(port=result.get('port'), exit=rc, output=result,
                 messages=[result['error']] if 'error' in result else [])]
        return ports, rc, err

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

    def fail_ports(self, ports, rc, **extra):
        """Fails the task with each failed port's messages, the worst port's exit status as rc."""
        failed = [p for p in ports if p.get('exit')]
        lines = []
        for p in failed:
            said = p.get('messages') or [p.get('outcome', 'failed')]
            lines.append(('%s: ' % p['port'] if p.get('port') else '') + ' '.join(said))
        message = '\n'.join(lines) or 'failed (exit %d)' % rc
        if rc == EXIT_NO_ENCODER and 'not connected' in message and not any(p.get('port') for p in failed):
            message = 'No encoder found on this machine: ' + message
        self.module.fail_json(msg=message, rc=rc, **extra)

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

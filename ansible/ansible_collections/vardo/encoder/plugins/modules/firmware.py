#!/usr/bin/python
# Copyright (C) 2026 Vardo Interface. All rights reserved.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: firmware
short_description: Firmware version of Vardo USB keypad encoders
description:
  - Upgrades the encoders that do not report I(version) with the TI-TXT
    I(image), through C(vardo-encoder upgrade) on the managed machine. The
    tool backs the settings up, programs and verifies the image, restarts the
    encoder and writes the settings back (the power-up defaults included).
  - Encoders already on I(version) are left alone, so a second run changes
    nothing. After an upgrade the encoder must report I(version), else the
    task fails.
  - A failed upgrade fails the task with the tool's message and exit status
    (C(rc)); see C(vardo-encoder help) for the statuses.
version_added: "1.0.0"
options:
  image:
    description: The firmware image (TI-TXT) on the managed machine.
    type: path
    required: true
  version:
    description: The six-character version the encoder reports with that image, e.g. C(01.06A).
    type: str
    required: true
  ram_loader:
    description:
      - The RAM loader text (C(RAM_BSL.Text)); default the tool's own search
        (the user's and then the system's loader folder).
    type: path
  password:
    description:
      - The loader password text (C(password.Text)) or a firmware image whose
        vector table is the password; default the tool's own search.
    type: path
  mass_erase:
    description:
      - Without a password text the loader erases the encoder's whole
        application before programming; the tool does that only with this
        consent (its C(--mass-erase)).
    type: bool
    default: false
  recover:
    description:
      - Also program encoders that wait in their bootstrap loader (no firmware
        runs, e.g. after an interrupted upgrade), each by its port; the tool
        writes back the newest backup recorded for that port, if any.
        Without it such an encoder fails the task, as it might be in the
        middle of another program's upgrade.
    type: bool
    default: false
notes:
  - Check mode reports which encoders would be upgraded and never upgrades.
  - An upgrade takes about 15 seconds an encoder on real hardware.
extends_documentation_fragment:
  - vardo.encoder.cli
  - vardo.encoder.cli.device
author:
  - Vardo Interface
'''

EXAMPLES = r'''
- name: Every encoder on firmware 01.06A
  vardo.encoder.firmware:
    image: /opt/kiosk/encoder_firmware_01.06A.txt
    version: 01.06A
    ram_loader: /opt/kiosk/RAM_BSL.Text
    password: /opt/kiosk/encoder_firmware_01.05A.txt
    all: true

- name: Bring back an encoder left in its loader
  vardo.encoder.firmware:
    image: /opt/kiosk/encoder_firmware_01.06A.txt
    version: 01.06A
    device: "1-1"
    recover: true
'''

RETURN = r'''
encoders:
  description: Each encoder chosen, with its version before and after.
  returned: always
  type: list
  elements: dict
  contains:
    port: {description: USB port, type: str, sample: "1-1"}
    kind: {description: encoder, or loader for one waiting in its loader, type: str}
    before: {description: firmware reported before (empty for a loader), type: str, sample: 01.05A}
    after: {description: firmware reported after (the old one in check mode), type: str, sample: 01.06A}
    upgraded: {description: upgraded (or would be, in check mode), type: bool}
changed:
  description: Whether any encoder was (or in check mode would be) upgraded.
  returned: always
  type: bool
'''

import os
import re

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.vardo.encoder.plugins.module_utils.vardo_cli import (
    CLI_ARGS, MUTUALLY_EXCLUSIVE, VardoCli)


# Six printable characters without blanks, e.g. 01.06A.
VERSION = re.compile(r'^[!-~]{6}$')


def flashed(rc):
    """Whether an upgrade that ended with the tool's exit status rc changed the encoder's flash:
    it went through, or failed past ENTER_BSL (not back, write-back failed, upgrade failed)."""
    return rc in (0, 3, 5, 8)


def main():
    options = dict(CLI_ARGS)
    options.update(
        image=dict(type='path', required=True),
        version=dict(type='str', required=True),
        ram_loader=dict(type='path'),
        password=dict(type='path', no_log=False),
        recover=dict(type='bool', default=False),
        mass_erase=dict(type='bool', default=False),
    )
    module = AnsibleModule(argument_spec=options, mutually_exclusive=MUTUALLY_EXCLUSIVE, supports_check_mode=True)
    p = module.params
    cli = VardoCli(module)
    # What the encoders must report afterwards, checked before anything is sent.
    if not VERSION.match(p['version']):
        module.fail_json(msg="version '%s' is not a firmware version as the encoder reports it (six characters, "
                             "e.g. 01.06A)" % p['version'], rc=2)
    # Checked here too so that a dry run finds a wrong path.
    if not os.path.isfile(p['image']):
        module.fail_json(msg="The firmware image '%s' is not a file on this machine." % p['image'], rc=7)

    encoders, loaders = cli.bus()
    chosen = cli.targets(encoders, loaders, take_loaders=p['recover'])
    results = []
    for d in chosen:
        upgrade = d['kind'] == 'loader' or d.get('firmware') != p['version']
        results.append(dict(port=d['port'], serial=d.get('serial', ''), kind=d['kind'],
                            before=d.get('firmware', '') if d['kind'] == 'encoder' else '',
                            after=d.get('firmware', '') if d['kind'] == 'encoder' else '', upgraded=upgrade))

    extra = []
    if p['ram_loader']:
        extra += ['--ram-loader', p['ram_loader']]
    if p['password']:
        extra += ['--password', p['password']]
    if p['mass_erase']:
        extra += ['--mass-erase']
    if not module.check_mode:
        due = [r for r in results if r['upgraded']]
        if due and p['all'] and not loaders and len(due) == len(encoders):
            # Every encoder due: the tool upgrades them all at once.
            ports, rc, err = cli.json(['--all', 'upgrade', p['image'], '--yes'] + extra, fail=False)
            if rc != 0:
                ports = ports if isinstance(ports, list) else [dict(exit=rc, messages=[ports.get('error')])]
                cli.fail_ports(ports, rc, encoders=results, stderr=err,
                               changed=any(flashed(q.get('exit')) for q in ports))
        elif due:
            # Some of them: one process a port, side by side. A loader is named by its port too.
            argvs = [['--device', r['port'], 'upgrade', p['image'], '--yes'] + extra for r in due]
            finished = cli.side_by_side(argvs)
            for r, argv, (rc, out, err) in zip(due, argvs, finished):
                if rc != 0:
                    cli.fail(rc, err, out, cli.argv + argv, prefix='The upgrade of the encoder on port %s failed: '
                             % r['port'], changed=any(flashed(done[0]) for done in finished))
        if any(r['upgraded'] for r in results):
            now, _ = cli.bus()
            reported = dict((d['port'], d.get('firmware', '')) for d in now)
            for r in results:
                r['after'] = reported.get(r['port'], '')
                if r['upgraded'] and r['after'] != p['version']:
                    module.fail_json(msg='The encoder on port %s reports firmware %s after the upgrade, not %s.'
                                         % (r['port'], r['after'] or '(none)', p['version']), encoders=results,
                                     changed=True)

    if not p['recover']:
        cli.stuck(loaders)
    module.exit_json(changed=any(r['upgraded'] for r in results), encoders=results, cli_calls=cli.calls)


if __name__ == '__main__':
    main()

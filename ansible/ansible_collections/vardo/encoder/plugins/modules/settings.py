#!/usr/bin/python
# Copyright (C) 2026 Vardo Interface. All rights reserved.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: settings
short_description: Desired settings of Vardo USB keypad encoders
description:
  - Brings the LED, buzzer, keypad layout and code table of one encoder (or of
    every encoder on the machine) to the values given, by calling the
    C(vardo-encoder) tool on the managed machine.
  - Hands the desired state to C(vardo-encoder apply) (check mode to its
    C(--check), diff mode to its C(--diff)), which reads each encoder's
    status, sends only what differs in the window's order (layout, code
    table, brightness, colour, buzzer, period), saves with I(keep), reads
    back to check and says what it sent, so a second run changes nothing.
    Names, ranges and the configuration file are the tool's to know; a bad
    value fails the task with the tool's message, which names the nearest
    known value.
  - Options left out are left as they are.
version_added: "1.0.0"
options:
  brightness:
    description: LED brightness.
    type: int
    choices: [0, 1, 2, 3, 4, 5, 6, 7, 8, 9]
  colour:
    description: "LED colour: white (C(0)) is the one the encoder offers."
    type: str
    choices: ['0', 'white']
  buzzer:
    description: Key click buzzer on or off.
    type: bool
  period:
    description:
      - Buzzer period, numbered as the window's "Buzzer Period" box numbers it
        (the encoder keeps the period + 1).
    type: int
    choices: [0, 1, 2, 3, 4, 5, 6, 7, 8, 9]
  layout:
    description:
      - Keypad layout, C(0)-C(8) or its name as C(vardo-encoder help set)
        (or C(help --json)) prints it (C(16W Customised)) or as the window lists it
        (C(16W  Customised Table)); letter case and spacing are free.
    type: str
  code_table:
    description:
      - Codes of keys of a customised layout (2, 5 or 8), key number (1-16)
        to code in the tool's C(table load) syntax, C(CODE[+MODIFIER]), where
        CODE is a usage code (decimal or C(0x) hex) or its name (C(a), C(Enter),
        C(F1)), optionally with a modifier (C(LeftShift), C(RightCtrl), ...).
      - Keys not named keep their codes.
    type: dict
  keep:
    description:
      - Make the settings the encoder's power-up defaults (C(vardo-encoder
        save)), which also records them in the user's configuration file.
      - The encoder cannot be asked for its power-up defaults, so a save is
        skipped only when nothing was changed and the configuration file
        already records the encoder's settings (the tool checks it).
    type: bool
    default: false
notes:
  - Supports check mode (reports what would change, sends nothing) and diff
    mode (settings before and after).
extends_documentation_fragment:
  - vardo.encoder.cli
  - vardo.encoder.cli.device
author:
  - Vardo Interface
'''

EXAMPLES = r'''
- name: Every kiosk's encoder on the 16-key customised layout, kept over power cycles
  vardo.encoder.settings:
    layout: 16W Customised
    brightness: 5
    buzzer: true
    period: 2
    code_table:
      1: "0x1E"
      2: "a+LeftShift"
      3: Enter
    keep: true

- name: Dim the LED of the encoder on USB port 1-2 only
  vardo.encoder.settings:
    device: "1-2"
    brightness: 2

- name: Against the demo tool's virtual encoders
  vardo.encoder.settings:
    all: true
    buzzer: false
    cli: vardo-encoder-demo --sim-state=/tmp/encoders.state
'''

RETURN = r'''
encoders:
  description: Each encoder handled, with what was (or would be) sent.
  returned: always
  type: list
  elements: dict
  contains:
    port: {description: USB port, type: str, sample: "1-1"}
    serial: {description: serial number, type: str, sample: VE710-000001}
    changes:
      description: The encoder commands sent (or due, in check mode), as C(apply --json) reports them.
      type: list
      elements: str
      sample: ["SET_KEYPAD_TYPE 8", "LOAD_CODE_TABLE", "WRITE_DEFAULTS"]
    before: {description: the managed settings before, type: dict}
    after: {description: the managed settings after (as wanted in check mode), type: dict}
changed:
  description: Whether any encoder was (or in check mode would be) changed.
  returned: always
  type: bool
'''

import json

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.vardo.encoder.plugins.module_utils.vardo_cli import (
    CLI_ARGS, MUTUALLY_EXCLUSIVE, VardoCli)

STATE = ('layout', 'code_table', 'brightness', 'colour', 'buzzer', 'period', 'keep')


def main():
    options = dict(CLI_ARGS)
    options.update(
        brightness=dict(type='int', choices=list(range(10))),
        colour=dict(type='str', choices=['0', 'white']),
        buzzer=dict(type='bool'),
        period=dict(type='int', choices=list(range(10))),
        layout=dict(type='str'),
        code_table=dict(type='dict'),
        keep=dict(type='bool', default=False),
    )
    module = AnsibleModule(argument_spec=options, mutually_exclusive=MUTUALLY_EXCLUSIVE, supports_check_mode=True)
    cli = VardoCli(module)
    state = dict((k, module.params[k]) for k in STATE if module.params[k] is not None)
    if 'code_table' in state:
        state['code_table'] = dict((str(k), str(v)) for k, v in state['code_table'].items())

    args = ['apply', '-', '--diff'] + (['--check'] if module.check_mode else [])
    ports, rc, err = cli.each_port(args, data=json.dumps(state))
    results = []
    for p in ports:
        out = p.get('output') or {}
        if 'sent' in out:
            results.append(dict(port=p['port'], serial=p.get('serial', ''), path=p.get('path', ''),
                                changes=out['sent'], before=out.get('before', {}), after=out.get('after', {})))
    changed = any(r['changes'] for r in results)
    diff = dict(before=dict((r['port'], r['before']) for r in results),
                after=dict((r['port'], r['after']) for r in results))
    if rc != 0:
        cli.fail_ports(ports, rc, changed=changed, encoders=results, diff=diff, stderr=err)
    module.exit_json(changed=changed, encoders=results, diff=diff, cli_calls=cli.calls)


if __name__ == '__main__':
    main()

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
  - Reads each encoder's status first and sends only what differs, in the
    order the tool's C(config apply) uses (layout, code table, brightness,
    colour, buzzer, period), so a second run changes nothing.
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
        prints it (C(16W Customised)) or as the window lists it
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
        already records the values given.
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
      description: The tool's commands (after the program) sent, or due in check mode.
      type: list
      elements: str
      sample: ["set layout 8", "table load 1=0x1E", "save"]
    before: {description: the managed settings before, type: dict}
    after: {description: the managed settings after (as wanted in check mode), type: dict}
changed:
  description: Whether any encoder was (or in check mode would be) changed.
  returned: always
  type: bool
'''

import re

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.vardo.encoder.plugins.module_utils.vardo_cli import (
    CLI_ARGS, MUTUALLY_EXCLUSIVE, VardoCli, read_config, squeeze)

CUSTOMISED = (2, 5, 8)
KEYS = {0: 4, 1: 4, 2: 4, 3: 12, 4: 12, 5: 12, 6: 16, 7: 16, 8: 16}
MODIFIERS = {'none': 0, 'leftctrl': 0xE0, 'leftshift': 0xE1, 'leftalt': 0xE2, 'leftgui': 0xE3,
             'rightctrl': 0xE4, 'rightshift': 0xE5, 'rightalt': 0xE6, 'rightgui': 0xE7}


def number(text):
    text = str(text).strip()
    try:
        return int(text, 16) if text.lower().startswith('0x') else int(text, 10)
    except ValueError:
        return None


def layout_names(cli):
    """Layout number by squeezed name, from the tool's 'help set'."""
    _, out, _ = cli.run(['help', 'set'])
    listed = ' '.join(out.split('Layouts:', 1)[-1].split())
    names = {}
    for num, name in re.findall(r'(\d)\s+([^,]+?)(?=,|\.\s*$|$)', listed):
        names[squeeze(name)] = int(num)
    return names


def wanted_layout(module, cli):
    text = module.params['layout']
    if text is None:
        return None
    value = number(text)
    if value is not None and 0 <= value <= 8:
        return value
    names = layout_names(cli)
    name = squeeze(text)
    if name.endswith('table'):
        name = name[:-len('table')]
    if name in names:
        return names[name]
    module.fail_json(msg="layout '%s' is not 0-8 or a layout's name (%s)"
                         % (text, ', '.join('%d' % n for n in sorted(set(names.values())))))


def parse_code(module, key, text):
    """(usage as int or squeezed name, modifier byte) of a CODE[+MODIFIER] text."""
    text = str(text).strip()
    code, _, modifier = text.partition('+') if not text.startswith('+') else (text, '', '')
    byte = 0
    if modifier:
        byte = MODIFIERS.get(squeeze(modifier))
        if byte is None:
            byte = number(modifier)
        if byte is None or not (byte == 0 or 0xE0 <= byte <= 0xE7):
            module.fail_json(msg="code_table key %s: '%s' is not a modifier" % (key, modifier))
    usage = number(code) if code[:1].isdigit() else squeeze(code)
    if usage is None or usage == '' or (isinstance(usage, int) and not 0 <= usage <= 255):
        module.fail_json(msg="code_table key %s: '%s' is not a usage code 0-255 or its name" % (key, code))
    return usage, byte


def entry_matches(entry, usage, modifier):
    if entry['modifier'] != modifier:
        return False
    if isinstance(usage, int):
        return entry['usage'] == usage
    # The usage list's text is "0xNN    name".
    return squeeze(entry['usageText'][4:]) == usage


def managed(status, wanted):
    """The managed settings of a status, as the module's options name them."""
    state = {'brightness': status['brightness'], 'colour': status['colour'],
             'buzzer': bool(status['buzzer']), 'period': status['buzzerPeriod'] - 1,
             'layout': status['layout']}
    if 'code_table' in wanted:
        state['code_table'] = dict(
            (str(e['key']), '0x%02X+0x%02X' % (e['usage'], e['modifier'])) for e in status['codeTable']
            if str(e['key']) in wanted['code_table'])
    return dict((k, v) for k, v in state.items() if k in wanted)


def commands_for(module, status, wanted):
    """The tool's commands that bring status to wanted, in config apply's order."""
    commands = []
    if 'layout' in wanted and status['layout'] != wanted['layout']:
        commands.append(['set', 'layout', str(wanted['layout'])])
    if 'code_table' in wanted:
        layout = wanted.get('layout', status['layout'])
        if layout not in CUSTOMISED:
            module.fail_json(msg='code_table needs a customised layout (2, 5 or 8); the encoder on port %s '
                                 'has layout %d' % (status.get('port', '?'), layout))
        current = dict((str(e['key']), e) for e in status['codeTable'])
        loads = []
        for key, text in sorted(wanted['code_table'].items(), key=lambda kv: int(kv[0])):
            if not 1 <= int(key) <= KEYS[layout]:
                module.fail_json(msg='code_table key %s: layout %d has keys 1-%d' % (key, layout, KEYS[layout]))
            usage, modifier = parse_code(module, key, text)
            # After a change of layout the keys' codes are those of the new layout: send them all.
            if 'layout' in wanted and status['layout'] != layout or key not in current \
                    or not entry_matches(current[key], usage, modifier):
                loads.append('%s=%s' % (key, str(text).strip()))
        if loads:
            commands.append(['table', 'load'] + loads)
    for name, setting, value in (('brightness', 'brightness', wanted.get('brightness')),
                                 ('colour', 'colour', wanted.get('colour')),
                                 ('buzzer', 'buzzer', wanted.get('buzzer')),
                                 ('period', 'period', wanted.get('period'))):
        if name not in wanted:
            continue
        have = {'brightness': status['brightness'], 'colour': status['colour'],
                'buzzer': bool(status['buzzer']), 'period': status['buzzerPeriod'] - 1}[name]
        if have != value:
            commands.append(['set', setting, str(int(value))])
    return commands


def recorded(status, wanted):
    """True when the configuration file records the wanted values of this encoder's status."""
    saved = read_config()
    if not saved:
        return False
    fields = {'layout': ('KeypadLayout', status['layout']), 'brightness': ('LedBrightness', status['brightness']),
              'colour': ('LedColour', status['colour']), 'buzzer': ('Buzzer', status['buzzer']),
              'period': ('BuzzerPeriod', status['buzzerPeriod'])}
    for name, (key, value) in fields.items():
        if name in wanted and saved.get(key) != str(value):
            return False
    if 'code_table' in wanted:
        values = [v for v in saved.get('CodeTableValues', '').split(',') if v != '']
        for e in status['codeTable']:
            if str(e['key']) not in wanted['code_table']:
                continue
            at = 2 * (e['key'] - 1)
            if len(values) < at + 2 or [number(values[at]), number(values[at + 1])] != [e['modifier'], e['usage']]:
                return False
    return True


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
    p = module.params
    cli = VardoCli(module)

    wanted = dict((k, p[k]) for k in ('brightness', 'buzzer', 'period') if p[k] is not None)
    if p['colour'] is not None:
        wanted['colour'] = 0
    layout = wanted_layout(module, cli)
    if layout is not None:
        wanted['layout'] = layout
    if p['code_table']:
        wanted['code_table'] = dict((str(k).strip(), v) for k, v in p['code_table'].items())
        for key in wanted['code_table']:
            if not key.isdigit() or not 1 <= int(key) <= 16:
                module.fail_json(msg="code_table key '%s' is not a key number 1-16" % key)

    encoders, loaders = cli.bus()
    results = []
    for encoder in cli.targets(encoders, loaders):
        status = cli.status(encoder)
        status['port'] = encoder['port']
        commands = commands_for(module, status, wanted)
        if p['keep'] and (commands or not recorded(status, wanted)):
            commands.append(['save'])
        before = managed(status, wanted)
        after = before
        if commands and not module.check_mode:
            device = ['--device', encoder['port'] or encoder['path']]
            for command in commands:
                cli.run(device + command)
            status = cli.status(encoder)
            after = managed(status, wanted)
            left = [c for c in commands_for(module, status, wanted)]
            if left:
                module.fail_json(msg='The encoder on port %s still differs after the change: %s'
                                     % (encoder['port'], '; '.join(' '.join(c) for c in left)))
        elif commands:
            after = dict(before, **dict((k, v) for k, v in wanted.items() if k != 'code_table'))
            if 'code_table' in wanted:
                after['code_table'] = dict(wanted['code_table'])
        results.append(dict(port=encoder['port'], serial=encoder['serial'], path=encoder['path'],
                            changes=[' '.join(c) for c in commands], before=before, after=after))

    changed = any(r['changes'] for r in results)
    diff = dict(before=dict((r['port'], r['before']) for r in results),
                after=dict((r['port'], r['after']) for r in results))
    cli.stuck(loaders)
    module.exit_json(changed=changed, encoders=results, diff=diff, cli_calls=cli.calls)


if __name__ == '__main__':
    main()

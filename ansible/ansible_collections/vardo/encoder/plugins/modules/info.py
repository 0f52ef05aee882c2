#!/usr/bin/python
# Copyright (C) 2026 Vardo Interface. All rights reserved.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: info
short_description: Facts about the Vardo USB keypad encoders of a machine
description:
  - Every encoder on the managed machine with its status (model, firmware,
    serial number, settings, layout and code table), and every encoder
    waiting in its bootstrap loader, as C(vardo-encoder list --json) and
    C(vardo-encoder status --json) report them.
  - Sets the facts C(vardo_encoders) and C(vardo_loaders).
version_added: "1.0.0"
options:
  device:
    description: Only this encoder (USB port, serial number or path).
    type: str
  all:
    description: Every encoder (the default); here for symmetry with the other modules.
    type: bool
    default: false
notes:
  - Changes nothing; supports check mode.
extends_documentation_fragment:
  - vardo.encoder.cli
author:
  - Vardo Interface
'''

EXAMPLES = r'''
- name: What encoders has each kiosk?
  vardo.encoder.info:

- name: Kiosks whose encoder runs old firmware
  ansible.builtin.debug:
    msg: "{{ item.port }} runs {{ item.firmware }}"
  loop: "{{ ansible_facts.vardo_encoders }}"
  when: item.firmware != "01.06A"
'''

RETURN = r'''
ansible_facts:
  description: The facts set.
  returned: always
  type: complex
  contains:
    vardo_encoders:
      description:
        - One entry an encoder, in port order; the fields of C(status --json)
          (path, serial, model, firmware, options, layout, layoutText,
          brightness, colour, buzzer, buzzerPeriod, codeTable) and of
          C(list --json) (port, kind, product, interface); C(status --json)
          gives C(period), the buzzer period as the window numbers it.
      type: list
      elements: dict
    vardo_loaders:
      description: One entry an encoder waiting in its bootstrap loader (port, path, kind loader).
      type: list
      elements: dict
'''

import json

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.vardo.encoder.plugins.module_utils.vardo_cli import (
    CLI_ARGS, EXIT_NO_ENCODER, MUTUALLY_EXCLUSIVE, VardoCli)


def main():
    module = AnsibleModule(argument_spec=dict(CLI_ARGS), mutually_exclusive=MUTUALLY_EXCLUSIVE,
                           supports_check_mode=True)
    cli = VardoCli(module)
    encoders, loaders = cli.bus()
    device = module.params['device']
    if device:
        encoders = [d for d in encoders if device in (d.get('port'), d.get('serial'), d.get('path'))][:1]
        if not encoders:
            module.fail_json(msg="No encoder has the path, serial number or port '%s'." % device, rc=EXIT_NO_ENCODER)
    facts = []
    if encoders:
        # Every encoder's status in one call; a loader's row there is reported as a loader.
        ports, rc, err = cli.json(['--device', device, 'status'] if device else ['--all', 'status'], fail=False)
        status = dict((p['port'], p.get('output')) for p in ports) if isinstance(ports, list) \
            else {ports.get('port'): ports}
        for d in encoders:
            reported = status.get(d['port'])
            if not reported or 'error' in reported:
                cli.fail(rc, err, json.dumps(reported), ['status'], prefix='The encoder on port %s: ' % d['port'])
            entry = dict(d)
            entry.update(reported)
            facts.append(entry)
    module.exit_json(changed=False, ansible_facts=dict(vardo_encoders=facts, vardo_loaders=loaders),
                     cli_calls=cli.calls)


if __name__ == '__main__':
    main()

# Copyright (C) 2026 Vardo Interface. All rights reserved.
# The options every module of the collection shares.
from __future__ import absolute_import, division, print_function

__metaclass__ = type


class ModuleDocFragment(object):
    DOCUMENTATION = r'''
options:
  cli:
    description:
      - The tool to call, program and leading arguments, as a string (split
        as a shell would) or a list, e.g.
        C(vardo-encoder-demo --sim-state=/var/lib/kiosk/encoders.state).
    type: raw
    default: vardo-encoder
notes:
  - Runs the tool as the remote user; C(environment) works as usual (for
    example C(HOME) or C(XDG_DATA_HOME) for the configuration file).
'''

    DEVICE = r'''
options:
  device:
    description:
      - The encoder, by USB port (e.g. C(1-1.3)), serial number or device
        path, as C(vardo-encoder list) shows them.
      - Without I(device) and I(all), the only encoder on the machine; the
        task fails when there are several.
    type: str
  all:
    description:
      - Every encoder on the machine, one after the other. Encoders waiting in
        their bootstrap loader fail the task after the others are done.
    type: bool
    default: false
'''

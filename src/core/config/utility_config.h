#pragma once
// The utility's configuration file USBUtilityCfg.ini, all of it: its path and
// lock, its read and save, the backups before an upgrade, import and export,
// and the reset of the encoder from it.
#include "config/config_file.h"
#include "config/config_path.h"
#include "config/config_reset.h"
#include "config/config_transfer.h"
#include "config/upgrade_backups.h"

#include "config/config_path.h"

std::string FileName;

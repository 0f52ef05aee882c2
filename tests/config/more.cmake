# The utility's configuration file against the virtual encoder.
vardo_add_test(NAME test_utility_config SOURCES test_utility_config.cpp
  LIBS vardo_config vardo_link vardo_sim)

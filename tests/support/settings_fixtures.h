// Builders for settings records used across the tests.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "settings/settings.h"

// A port with the dialog's defaults and the given name.
PortSettings make_port(const char *name);
// An address rule a.b.c.d/prefix (prefix 0: class default).
PermissionRule address_rule(int a, int b, int c, int d, int prefix, bool permit);
// A host-name suffix rule.
PermissionRule host_rule(const char *suffix, bool permit);
// Bytes of a record filled with random values, flags and texts kept sane enough to load.
std::vector<std::uint8_t> random_options_bytes(std::mt19937 &random);
std::vector<std::uint8_t> random_port_bytes(std::mt19937 &random, const char *name);
// The bytes of a newly created NORVEX.DAT.
std::vector<std::uint8_t> default_file_bytes();

// The module's directives: the table Apache reads, also used for the lines of
// the module configuration file.
#pragma once

#include "config/apache.h"

// Every directive, then the terminating empty entry.
extern const command_rec agent_directives[];

// The TAKE1 handler of a directive name (exact, letter case included), or null.
using directive_handler = const char *(*)(cmd_parms *, void *, const char *);
directive_handler find_directive_handler(const char *name);

// Files the module reads while it is configured.
#pragma once

#include "config/apache.h"

#include <memory>

struct agent_server_config;

// Reads config->module_config_file at the place of the directive that names
// it, dispatching each line to the directive's handler with the same cmd_parms.
// 0 when the file was read to its end, -1 otherwise (logged).
int read_module_config_file(agent_server_config *config, cmd_parms *cmd, void *mconfig);

// True while a module configuration file is read: its reader names the line
// of a value a handler refuses.
bool reading_module_file();

// Says where a refused value stands, at error level, so that a configuration
// test points at the line to mend.
void log_refused_location(const agent_server_config *config, const char *file, int line);

// ---- helpers shared by the readers of configuration files ----------------

// APR's text for a status (at most 127 characters).
struct AprErrorText {
    char text[128];
};
AprErrorText apr_error_text(apr_status_t status);

// Size of a file through stat.
apr_status_t config_file_size(const char *path, apr_pool_t *pool, apr_off_t *size);

// A buffer of size + 1 bytes, or null when memory is short.
std::unique_ptr<char[]> config_file_buffer(apr_off_t size);

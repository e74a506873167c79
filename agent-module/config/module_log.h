// The module's log functions, gated by the record's verbose level.
//
//   level needed   function          Apache level
//   0              log_fatal         emerg   (unreadable configuration, refusal to start)
//   0              log_error         err
//   1              log_warning       warning
//   2              log_basic         info
//   3              log_detailed      info
//   4              log_debug         info
//   4              log_debug_text    info    (a finished string, never formatted)
//   5              log_trace         notice
//
// A null record logs nothing. Lines are cut to 1023 characters and handed to
// Apache as the argument of "%s", so a '%' in them is printed as it is.
#pragma once

struct agent_server_config;

void log_fatal(const agent_server_config *config, const char *format, ...) __attribute__((format(printf, 2, 3)));
void log_error(const agent_server_config *config, const char *format, ...) __attribute__((format(printf, 2, 3)));
void log_warning(const agent_server_config *config, const char *format, ...) __attribute__((format(printf, 2, 3)));
void log_basic(const agent_server_config *config, const char *format, ...) __attribute__((format(printf, 2, 3)));
void log_detailed(const agent_server_config *config, const char *format, ...) __attribute__((format(printf, 2, 3)));
void log_debug(const agent_server_config *config, const char *format, ...) __attribute__((format(printf, 2, 3)));
void log_debug_text(const agent_server_config *config, const char *text);
void log_trace(const agent_server_config *config, const char *format, ...) __attribute__((format(printf, 2, 3)));

// The Apache and APR headers the module uses, as seen from C++.
#pragma once

// C++20 has designated initialisers, so the directive table can use the typed
// handler union instead of casting every handler to a prototype-less pointer.
#ifndef AP_HAVE_DESIGNATED_INITIALIZER
#define AP_HAVE_DESIGNATED_INITIALIZER
#endif

#include <httpd.h>
#include <http_config.h>
#include <http_core.h>
#include <http_log.h>
#include <http_protocol.h>
#include <http_request.h>
#include <ap_mpm.h>
#include <ap_regex.h>
#include <util_filter.h>

#include <apr_file_io.h>
#include <apr_pools.h>
#include <apr_strings.h>
#include <apr_tables.h>

// The one symbol the module exports: its record, which Apache looks up by name.
extern "C" {
extern __attribute__((visibility("default"))) module AP_MODULE_DECLARE_DATA qv_module;
}

// Per-module log levels ("LogLevel qv:info") apply to every line of the module.
APLOG_USE_MODULE(qv);

// Require qv-attribute NAME VALUE [VALUE...] and Require qv-attribute-regex
// NAME REGEX: granted when a value of the session's attribute NAME is one of
// those listed, or matches the expression. The attributes come from the
// session the agent granted to the request, never from request headers.
//
// The agent sets the user in the access phase, before mod_authz_core's first
// (user-less) pass over the rules: the providers decide there already, so that
// a refusal is a 403. A provider that waited for the second pass would turn
// every refusal of a signed-in user into a 401 asking for credentials.
#include "request/authorization.h"

#include "config/module_log.h"
#include "config/server_config.h"
#include "request/access.h"
#include "request/attribute_rules.h"
#include "response/login_answer.h"
#include "response/redirects.h"

#include <mod_auth.h>

#include <string>
#include <string_view>
#include <strings.h>

namespace {

// Request note: the Require rules let the request through.
constexpr const char *kAuthorizedNote = "qv-authorized";

struct AttributeRule {
    const char *text;  // the Require line, for the log
    const char *name;
    apr_array_header_t *values;  // const char *; null for a regular expression
    ap_regex_t *regex;
};

const char *parse_rule(cmd_parms *cmd, const char *line, const void **parsed, bool regex) {
    auto *rule = static_cast<AttributeRule *>(apr_pcalloc(cmd->pool, sizeof(AttributeRule)));
    rule->text = apr_pstrcat(cmd->pool, regex ? "qv-attribute-regex " : "qv-attribute ", line, nullptr);
    const char *rest = line;
    rule->name = ap_getword_conf(cmd->pool, &rest);
    if (rule->name[0] == '\0')
        return regex ? "Require qv-attribute-regex needs an attribute name and a regular expression"
                     : "Require qv-attribute needs an attribute name and at least one value";
    if (regex) {
        const char *source = ap_getword_conf(cmd->pool, &rest);
        if (source[0] == '\0' || ap_getword_conf(cmd->pool, &rest)[0] != '\0')
            return "Require qv-attribute-regex needs an attribute name and one regular expression (quote one "
                   "that holds blanks)";
        rule->regex = ap_pregcomp(cmd->pool, source, 0);
        if (rule->regex == nullptr)
            return apr_psprintf(cmd->pool, "Require qv-attribute-regex: cannot compile the regular expression \"%s\"",
                                source);
    } else {
        rule->values = apr_array_make(cmd->pool, 4, sizeof(const char *));
        for (const char *value = ap_getword_conf(cmd->pool, &rest); value[0] != '\0';
             value = ap_getword_conf(cmd->pool, &rest))
            APR_ARRAY_PUSH(rule->values, const char *) = value;
        if (rule->values->nelts == 0) return "Require qv-attribute needs an attribute name and at least one value";
    }
    *parsed = rule;
    return nullptr;
}

const char *parse_values_rule(cmd_parms *cmd, const char *line, const void **parsed) {
    return parse_rule(cmd, line, parsed, false);
}

const char *parse_regex_rule(cmd_parms *cmd, const char *line, const void **parsed) {
    return parse_rule(cmd, line, parsed, true);
}

bool rule_matches(const AttributeRule &rule, std::string_view attributes) {
    return qv::any_attribute_value(attributes, rule.name, [&rule](std::string_view value) {
        const std::string text(value);
        if (rule.regex != nullptr) return ap_regexec(rule.regex, text.c_str(), 0, nullptr, 0) == 0;
        for (int i = 0; i < rule.values->nelts; ++i)
            if (text == APR_ARRAY_IDX(rule.values, i, const char *)) return true;
        return false;
    });
}

authz_status check_rule(request_rec *r, const char *, const void *parsed) {
    const auto *rule = static_cast<const AttributeRule *>(parsed);
    const agent_server_config *config = server_config_of(r->server);
    const char *attributes = granted_attributes(r);
    if (rule == nullptr || attributes == nullptr) {
        // Without a session of the agent's, Apache asks for an authentication
        // first; another module's user has no session attributes.
        log_detailed(config, "Require %s: the agent has granted no session to the request",
                     rule != nullptr ? rule->text : "qv-attribute");
        return r->user != nullptr ? AUTHZ_DENIED : AUTHZ_DENIED_NO_USER;
    }
    const bool granted = rule_matches(*rule, attributes);
    // Only a verdict: a <RequireAny> may still grant what this rule refuses.
    log_basic(config, "Require %s %s the user \"%s\"", rule->text, granted ? "grants" : "refuses",
              r->user != nullptr ? r->user : "");
    return granted ? AUTHZ_GRANTED : AUTHZ_DENIED;
}

constexpr authz_provider kValuesProvider = {check_rule, parse_values_rule};
constexpr authz_provider kRegexProvider = {check_rule, parse_regex_rule};

}  // namespace

void register_attribute_providers(apr_pool_t *pool) {
    ap_register_auth_provider(pool, AUTHZ_PROVIDER_GROUP, "qv-attribute", AUTHZ_PROVIDER_VERSION, &kValuesProvider,
                              AP_AUTH_INTERNAL_PER_CONF);
    ap_register_auth_provider(pool, AUTHZ_PROVIDER_GROUP, "qv-attribute-regex", AUTHZ_PROVIDER_VERSION,
                              &kRegexProvider, AP_AUTH_INTERNAL_PER_CONF);
}

int agent_note_auth_failure(request_rec *r, const char *auth_type) {
    if (auth_type == nullptr || strcasecmp(auth_type, kAgentAuthType) != 0) return DECLINED;
    const agent_server_config *config = server_config_of(r->server);
    if (config == nullptr || !config->active || config->login_page_url == nullptr) return OK;
    const char *location = login_page_location(r, config);
    const char *realm = ap_auth_name(r);
    if (realm == nullptr) realm = ap_get_server_name(r);
    const std::string challenge = qv::login_challenge(realm != nullptr ? realm : "", location != nullptr ? location : "");
    apr_table_setn(r->err_headers_out, "WWW-Authenticate", apr_pstrmemdup(r->pool, challenge.data(), challenge.size()));
    return OK;
}

int agent_mark_authorized(request_rec *r) {
    if (granted_attributes(r) != nullptr) apr_table_setn(r->notes, kAuthorizedNote, "1");
    return DECLINED;
}

int agent_log_refusal(request_rec *r) {
    // A 403 of a request the agent granted that never reached the fixups is
    // the rules' refusal: the agent itself never answers 403, and what Apache
    // refuses before the access phase has no grant. Internal redirects
    // (ErrorDocument) follow the request they come from.
    for (const request_rec *step = r; step != nullptr; step = step->next) {
        if (step->status != HTTP_FORBIDDEN || granted_attributes(step) == nullptr) continue;
        if (apr_table_get(step->notes, kAuthorizedNote) != nullptr) continue;
        log_warning(server_config_of(step->server), "The Require rules refuse access to \"%s\" for the user \"%s\"",
                    step->uri != nullptr ? step->uri : "", step->user != nullptr ? step->user : "");
        break;
    }
    return DECLINED;
}

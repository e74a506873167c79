// What a step of a request's decision comes to: go on with the next step, or
// the answer the request gets. Steps only describe the answer; answer() makes it.
#pragma once

#include "config/apache.h"

struct agent_server_config;

struct Outcome {
    enum class Kind {
        go_on,     // the next step decides
        grant,     // the session is good: Apache serves the request
        login,     // 302 to the login page (redirect_to_login_page)
        error,     // the error page or its redirect (respond_with_error)
        redirect,  // 302 or 303 to `location`
        status,    // an answer already prepared, with this status
    };
    Kind kind = Kind::go_on;
    int status = OK;
    int erase_cookie = 0;
    const char *title = nullptr;
    const char *description = nullptr;
    const char *location = nullptr;

    static Outcome go_on() { return {}; }
    static Outcome grant() { return {Kind::grant}; }
    static Outcome login(int erase_cookie) { return {Kind::login, OK, erase_cookie}; }
    static Outcome error(int erase_cookie, const char *title, const char *description) {
        return {Kind::error, OK, erase_cookie, title, description};
    }
    static Outcome redirect(int status, const char *location) {
        return {Kind::redirect, status, 0, nullptr, nullptr, location};
    }
    static Outcome answered(int status) { return {Kind::status, status}; }

    bool goes_on() const { return kind == Kind::go_on; }
};

// Makes the answer of a login, error, redirect or status outcome and returns
// the status the access hook returns for it: 302, 303, 500 or 503, or the
// prepared status. Not for go_on and grant, which the caller completes.
int answer(request_rec *r, const agent_server_config *config, const Outcome &outcome);

-- Each connection sends the session cookie the agent renewed last, as a
-- browser does; counts responses whose status is not 200 as count_status.lua does.
local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
dofile(here .. "count_status.lua")

local count_init, count_response = init, response

function init(args)
    count_init(args)
    cookie = wrk.headers["Cookie"]
end

function request()
    wrk.headers["Cookie"] = cookie
    return wrk.format()
end

function response(status, headers, body)
    count_response(status, headers, body)
    local token = (headers["Set-Cookie"] or ""):match("^(QVSESSION=[^;]+)")
    if token then cookie = token end
end

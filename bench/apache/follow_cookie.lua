-- Each connection sends the session cookie the agent renewed last, as a
-- browser does; counts responses whose status is not 200.
local threads = {}

function setup(thread)
    table.insert(threads, thread)
end

function init(args)
    bad = 0
    cookie = wrk.headers["Cookie"]
end

function request()
    wrk.headers["Cookie"] = cookie
    return wrk.format()
end

function response(status, headers, body)
    if status ~= 200 then bad = bad + 1 end
    local set = headers["Set-Cookie"]
    if set then
        local token = set:match("^(QVSESSION=[^;]+)")
        if token then cookie = token end
    end
end

function done(summary, latency, requests)
    local total = 0
    for _, thread in ipairs(threads) do total = total + thread:get("bad") end
    io.write(string.format("non-200 responses: %d\n", total))
end

-- The client side of bench-apache: the same script for both URLs, so that
-- both sides send requests of the same shape. Its first argument picks the
-- workload:
--   fixed  TOKEN   every request carries the same cookie, as plain wrk does;
--   follow TOKEN   each thread starts with TOKEN and then sends the cookie
--                  that the last Set-Cookie gave it, as a browser does;
--   unique FILE N  every request carries a token of FILE (one per line)
--                  that no request of the run has sent before; the lines
--                  are shared out between the N threads.
-- Responses whose status is not 200, and tokens used a second time (FILE ran
-- out), are counted and printed at the end.
local threads = {}
local counter = 0

function setup(thread)
    thread:set("id", counter)
    counter = counter + 1
    table.insert(threads, thread)
end

function init(args)
    mode = args[1]
    bad = 0
    reused = 0
    if mode == "unique" then
        tokens = {}
        local n = 0
        for line in io.lines(args[2]) do
            if n % tonumber(args[3]) == id then table.insert(tokens, line) end
            n = n + 1
        end
        next_token = 1
    else
        cookie = args[2]
    end
end

function request()
    local token
    if mode == "unique" then
        token = tokens[next_token]
        next_token = next_token + 1
        if next_token > #tokens then
            next_token = 1
            reused = reused + 1
        end
    else
        token = cookie
    end
    return wrk.format(nil, nil, {["Cookie"] = "QVSESSION=" .. token})
end

function response(status, headers, body)
    if status ~= 200 then bad = bad + 1 end
    if mode == "follow" then
        local set = headers["Set-Cookie"]
        if set then
            local token = string.match(set, "^QVSESSION=([^;]+)")
            if token then cookie = token end
        end
    end
end

function done(summary, latency, requests)
    local total, again = 0, 0
    for _, thread in ipairs(threads) do
        total = total + thread:get("bad")
        again = again + thread:get("reused")
    end
    io.write(string.format("non-200 responses: %d\n", total))
    io.write(string.format("token file reused: %d\n", again))
end

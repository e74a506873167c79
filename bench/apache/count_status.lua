-- Counts responses whose status is not 200, per thread, and prints the total.
local threads = {}

function setup(thread)
    table.insert(threads, thread)
end

function init(args)
    bad = 0
end

function response(status, headers, body)
    if status ~= 200 then
        bad = bad + 1
    end
end

function done(summary, latency, requests)
    local total = 0
    for _, thread in ipairs(threads) do
        total = total + thread:get("bad")
    end
    io.write(string.format("non-200 responses: %d\n", total))
end

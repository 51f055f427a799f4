-- Checking wrk pass (also the warm-up): every response must have status 200 and a body equal to
-- the file given as the script's argument (wrk ... URL -- FILE). Slower than count.lua, as wrk
-- then hands every body to response().
local threads = {}

function setup(thread)
  table.insert(threads, thread)
end

function init(args)
  local f = assert(io.open(args[1], "rb"))
  expected = f:read("*a")
  f:close()
  checked, bad, first_bad = 0, 0, ""
end

function response(status, headers, body)
  checked = checked + 1
  if status ~= 200 or body ~= expected then
    bad = bad + 1
    if first_bad == "" then
      first_bad = string.format("status %d, %d body bytes%s", status, #body,
        #body == #expected and " (not the file's)" or "")
    end
  end
end

function done(summary, latency, requests)
  local e = summary.errors
  local nchecked, nbad, first = 0, 0, ""
  for _, t in ipairs(threads) do
    nchecked = nchecked + t:get("checked")
    nbad = nbad + t:get("bad")
    if first == "" then first = t:get("first_bad") end
  end
  io.write(string.format(
    "counters requests=%d bytes=%d duration_us=%d connect=%d read=%d write=%d status=%d timeout=%d checked=%d bad=%d\n",
    summary.requests, summary.bytes, summary.duration,
    e.connect, e.read, e.write, e.status, e.timeout, nchecked, nbad))
  if nbad > 0 then io.write("first wrong response: " .. first .. "\n") end
end

-- Timed wrk pass: prints wrk's exact counters on one line for scripts/bench to check.
function done(summary, latency, requests)
  local e = summary.errors
  io.write(string.format(
    "counters requests=%d bytes=%d duration_us=%d connect=%d read=%d write=%d status=%d timeout=%d\n",
    summary.requests, summary.bytes, summary.duration,
    e.connect, e.read, e.write, e.status, e.timeout))
end

-- The bench's program: 100 tags and 10 on-delay timers in a 20 ms cycle, the load a mid-sized
-- machine model puts on a PLC, plus a measurement of its own cycle's start lateness.
--
-- DB2000: the 100 tags (40 INT from DBW0, 40 REAL from DBD80, 20 BOOL in DBB240-242).
-- DB2001: DBX0.0 the bench sets to measure, clears to stop; DBD2:REAL the 99th percentile of the
-- lateness in ms over the measured cycles, DBD6:REAL the most, DBD10:DINT how many cycles.

local ints, reals, bools, timers = {}, {}, {}, {}
for i = 0, 39 do ints[#ints + 1] = tag("DB2000.DBW" .. 2 * i .. ":INT") end
for i = 0, 39 do reals[#reals + 1] = tag("DB2000.DBD" .. 80 + 4 * i .. ":REAL") end
for i = 0, 19 do bools[#bools + 1] = tag("DB2000.DBX" .. 240 + i // 8 .. "." .. i % 8) end
for i = 1, 10 do timers[i] = TON(100 * i) end

local measuring = tag("DB2001.DBX0.0")
local p99, most, count = tag("DB2001.DBD2:REAL"), tag("DB2001.DBD6:REAL"), tag("DB2001.DBD10:DINT")
local stop = F_TRIG()
local late, due = {}, nil

local function report()
  table.sort(late)
  local n = #late
  p99.value = n > 0 and late[math.max(1, math.ceil(n * 0.99))] or 0
  most.value = n > 0 and late[n] or 0
  count.value = n
  late = {}
end

function cycle(dt_ms)
  -- The schedule the server keeps: every 20 ms; after a late cycle, 20 ms from it.
  local now = now_ms()
  due = due or now
  if measuring.value then late[#late + 1] = now - due end
  due = due + 20
  if due <= now then due = now + 20 end
  if stop:run(measuring.value) then report() end

  for i, t in ipairs(ints) do t.value = (t.value + i) % 30000 end
  for i, t in ipairs(reals) do t.value = t.value * 0.5 + i end
  for i, t in ipairs(bools) do
    t.value = timers[(i - 1) % 10 + 1]:run(not t.value)
  end
end

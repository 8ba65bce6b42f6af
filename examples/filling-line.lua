-- The filling line of filling-line.toml: tank T1 is filled through an inlet valve and drained by
-- a pump into the filler, one batch per tank.
--
--   STOPPED --start--> FILLING --level >= fill level--> DRAINING --level <= empty level--> FILLING
--                                                                 (a batch is counted)  ... DONE
--
-- The program holds two things, as a test bench does: the control, which is what the real CPU
-- would run (it reads the sensor input and writes the outputs and DB20), and a model of the tank,
-- which stands in for the plant (it reads the outputs and writes the sensor input). Only the
-- model knows the true level; the control sees the sensor, noise and all.
--
-- DB10, written by the HMI                      DB20, written by this program
--   DBW0:INT    command (1 start, 2 stop,        DBD0:REAL   level, %
--               3 reset the batch count)         DBW4:INT    step (0 stopped, 1 filling,
--   DBD2:REAL   fill level, %                                2 draining, 3 done, 4 alarm)
--   DBD6:REAL   empty level, %                   DBX6.0      high alarm
--   DBD10:REAL  high alarm limit, %              DBX6.1      low alarm
--   DBD14:REAL  low alarm limit, %               DBX6.2      batch target reached
--   DBW18:INT   batch target (0: none)           DBW8:INT    batches done
--                                                DBD10:DINT  run time, s
-- IW64:INT  level sensor, 0-27648 = 0-100 %      DBD14:REAL  last batch time, s
-- Q0.0 inlet valve, Q0.1 pump                    DBB18:STRING[10]  the step as text

-- ---- tags: parsed once, here at the top level

local command      = tag("DB10.DBW0:INT")
local fill_level   = tag("DB10.DBD2:REAL")
local empty_level  = tag("DB10.DBD6:REAL")
local high_limit   = tag("DB10.DBD10:REAL")
local low_limit    = tag("DB10.DBD14:REAL")
local batch_target = tag("DB10.DBW18:INT")

local level        = tag("DB20.DBD0:REAL")
local step_number  = tag("DB20.DBW4:INT")
local high_alarm   = tag("DB20.DBX6.0")
local low_alarm    = tag("DB20.DBX6.1")
local target_done  = tag("DB20.DBX6.2")
local batch_count  = tag("DB20.DBW8:INT")
local run_time     = tag("DB20.DBD10:DINT")
local batch_time   = tag("DB20.DBD14:REAL")
local step_text    = tag("DB20.DBB18:STRING[10]")

local level_input  = tag("IW64:INT")
local valve        = tag("Q0.0")
local pump         = tag("Q0.1")

-- ---- the tank model: the plant this program stands in for

local FULL_SCALE = 27648   -- what an analog input module reads at 100 %
local INFLOW = 5.0         -- % per second with the valve open
local OUTFLOW = 7.0        -- % per second with the pump running
local NOISE = 0.2          -- the sensor's noise, +/- %

local true_level = 0.0

local function tank_model(dt_ms)
  local seconds = dt_ms / 1000
  if valve.value then true_level = true_level + INFLOW * seconds end
  if pump.value then true_level = true_level - OUTFLOW * seconds end
  true_level = math.max(0.0, math.min(100.0, true_level))
  local measured = true_level + (math.random() * 2 - 1) * NOISE
  level_input.value = math.max(0, math.floor(measured / 100 * FULL_SCALE + 0.5))
end

-- ---- the control

local STOPPED, FILLING, DRAINING, DONE, ALARM = 0, 1, 2, 3, 4
local STEP_NAMES = {[0] = "STOPPED", "FILLING", "DRAINING", "DONE", "ALARM"}

local step = STOPPED
local run_ms = 0            -- run time to the millisecond; DB20 shows whole seconds
local batch_started = 0     -- now_ms() when the current batch began to fill
local reset_count = false   -- the reset command, for one cycle

-- An alarm comes when its condition has held for 0.3 s and goes 2 s after it ended, so the noise
-- around a limit neither makes it flicker nor hides a short one from the HMI.
local high_on, high_off = TON(300), TOF(2000)
local low_on, low_off = TON(300), TOF(2000)
local high_came, high_went = R_TRIG(), F_TRIG()
local low_came, low_went = R_TRIG(), F_TRIG()

local batches = CTU(32767)  -- counts the cycles that end a batch; the preset follows DB10.DBW18

local function target_preset(target)
  return target > 0 and target or 32767
end

local function go(next_step, why)
  if next_step ~= step then
    log(STEP_NAMES[step] .. " -> " .. STEP_NAMES[next_step] .. ": " .. why)
    step = next_step
  end
end

local function start()
  if step == FILLING or step == DRAINING then
    return
  end
  if batch_target.value > 0 and batches.cv >= batch_target.value then
    log("start refused: the batch target is reached; reset the count (command 3) first")
    return
  end
  batch_started = now_ms()
  if level.value >= fill_level.value or high_alarm.value then
    go(DRAINING, "start with a full tank")
  else
    go(FILLING, "start")
  end
end

-- Setpoints are logged when the HMI changes them, with a word where they make no sense: once
-- per cycle, however many of them the HMI wrote since the last.
local levels_changed = false
for _, setpoint in ipairs({fill_level, empty_level, high_limit, low_limit}) do
  on_write(setpoint, function() levels_changed = true end)
end

local function check_levels()
  local fill, empty = fill_level.value, empty_level.value
  local high, low = high_limit.value, low_limit.value
  log(string.format("levels: fill %.1f %%, empty %.1f %%, alarms above %.1f %% and below %.1f %%",
                    fill, empty, high, low))
  if fill >= high then
    log("the fill level is not below the high alarm limit: every fill will end in the alarm")
  end
  if empty <= low then
    log("the empty level is not above the low alarm limit: the pump may run dry")
  end
  if empty >= fill then
    log("the empty level is not below the fill level")
  end
end

on_write(batch_target, function(value)
  batches.pv = target_preset(value)
  log(value > 0 and ("batch target " .. value) or "no batch target")
end)

-- The HMI's command word: taken at the start of the cycle after the HMI wrote it, then set back
-- to 0 so the HMI sees it was taken (the program's own write calls no handler). Registered last,
-- so a start written together with new setpoints runs with them: the handlers of one cycle run in
-- the order they were registered.
on_write(command, function(value)
  if value == 1 then
    start()
  elseif value == 2 then
    go(STOPPED, "stop command")
  elseif value == 3 then
    reset_count = true
    log("batch count reset")
  elseif value ~= 0 then
    log("unknown command " .. value .. " (1 start, 2 stop, 3 reset the batch count)")
  end
  command.value = 0
end)

-- At every start of the CPU (power on, or STOP to RUN): the line is stopped, its outputs off, as
-- after a restart of the real CPU. The tank keeps the level its sensor shows, and the counts and
-- the run time in DB20 carry on.
function startup()
  true_level = level_input.value / FULL_SCALE * 100
  go(STOPPED, "CPU start")
  valve.value = false
  pump.value = false
  batches.cv = batch_count.value
  batches.pv = target_preset(batch_target.value)
  run_ms = run_time.value * 1000
  log(string.format("CPU start: tank at %.1f %%, %d batches done", true_level, batches.cv))
end

function cycle(dt_ms)
  tank_model(dt_ms)
  if levels_changed then
    check_levels()
    levels_changed = false
  end

  -- The sensor: 0-27648 is 0-100 %.
  local pv = level_input.value / FULL_SCALE * 100
  level.value = pv

  -- Alarms. The low alarm watches for a pump running dry.
  local high = high_off:run(high_on:run(pv > high_limit.value))
  local low = low_off:run(low_on:run(pump.value and pv < low_limit.value))
  if high_came:run(high) then
    log(string.format("high level alarm: %.1f %% is above %.1f %%", pv, high_limit.value))
    if step == FILLING or step == DRAINING then go(ALARM, "high level alarm") end
  end
  if high_went:run(high) then log("high level alarm gone") end
  if low_came:run(low) then
    log(string.format("low level alarm: %.1f %% is below %.1f %% with the pump running",
                      pv, low_limit.value))
    if step == FILLING or step == DRAINING then go(ALARM, "low level alarm") end
  end
  if low_went:run(low) then log("low level alarm gone") end
  high_alarm.value = high
  low_alarm.value = low

  -- The sequence.
  local batch_done = false
  if step == FILLING and pv >= fill_level.value then
    go(DRAINING, string.format("fill level reached (%.1f %%)", pv))
  elseif step == DRAINING and pv <= empty_level.value then
    batch_done = true
  end

  -- The batch count; its preset is the target, so q says the target is reached.
  local reached = batches:run(batch_done, reset_count) and batch_target.value > 0
  reset_count = false
  target_done.value = reached
  if batch_done then
    local took = (now_ms() - batch_started) / 1000
    batch_time.value = took
    log(string.format("batch %d done in %.1f s", batches.cv, took))
    batch_started = now_ms()
    if reached then
      go(DONE, "batch target reached")
    else
      go(FILLING, "tank empty")
    end
  end
  batch_count.value = batches.cv

  -- Run time: while the line fills or drains.
  if step == FILLING or step == DRAINING then
    run_ms = run_ms + dt_ms
  end
  run_time.value = math.floor(run_ms / 1000)

  -- The outputs, each held off by its alarm.
  valve.value = step == FILLING and not high
  pump.value = step == DRAINING and not low
  step_number.value = step
  step_text.value = STEP_NAMES[step]
end

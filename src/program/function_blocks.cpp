#include "program/function_blocks.h"

// Times are the PLC's milliseconds (now_ms), sampled once per run. An input counts as true
// unless it is false, nil or 0, so a BOOL tag's value and a number from a word both work.
// Counters hold INT values, as in STEP 7.
const std::string_view functionBlocksSource = R"lua(
local now_ms, setmetatable, getmetatable, type, error, select =
  now_ms, setmetatable, getmetatable, type, error, select
local min = math.min
local INT_MAX, INT_MIN = 32767, -32768

-- Only text chunks: a binary chunk can break the interpreter.
do
  local load_ = load
  load = function(chunk, name, mode, ...)
    if select('#', ...) > 0 then return load_(chunk, name, "t", ...) end
    return load_(chunk, name, "t")
  end
end
dofile, loadfile = nil, nil

local function truth(x) return x ~= nil and x ~= false and x ~= 0 end

local function class(name)
  local methods = {}
  methods.__index = methods
  methods.__name = name
  return methods
end

local function check_time(name, pt)
  if type(pt) ~= "number" or pt < 0 then
    error(name .. ": the preset time must be a number of milliseconds, 0 or more", 3)
  end
end

local function check_count(name, pv)
  local whole = math.tointeger(pv)
  if whole == nil or whole < INT_MIN or whole > INT_MAX then
    error(name .. ": the preset value must be an INT (-32768 to 32767)", 3)
  end
  return whole
end

-- t.run(x) instead of t:run(x) would otherwise fail inside the block, far from the mistake.
local function check_self(block, methods)
  if getmetatable(block) ~= methods then
    error(methods.__name .. ": call run with a colon, as in t:run(x)", 3)
  end
end

-- TON: q once in has been true for pt; et counts while in is true and stops at pt.
local ton = class("TON")
function TON(pt)
  check_time("TON", pt)
  return setmetatable({pt = pt, et = 0, q = false, start = nil}, ton)
end
function ton:run(input)
  check_self(self, ton)
  if truth(input) then
    local t = now_ms()
    if self.start == nil then self.start = t end
    self.et = min(t - self.start, self.pt)
    self.q = self.et >= self.pt
  else
    self.start, self.et, self.q = nil, 0, false
  end
  return self.q
end

-- TOF: q follows in up, and stays true for pt after in falls.
local tof = class("TOF")
function TOF(pt)
  check_time("TOF", pt)
  return setmetatable({pt = pt, et = 0, q = false, start = nil}, tof)
end
function tof:run(input)
  check_self(self, tof)
  if truth(input) then
    self.start, self.et, self.q = nil, 0, true
  elseif self.q then
    local t = now_ms()
    if self.start == nil then self.start = t end
    self.et = min(t - self.start, self.pt)
    self.q = self.et < self.pt
  end
  return self.q
end

-- TP: a rising edge while no pulse runs starts a pulse of exactly pt.
local tp = class("TP")
function TP(pt)
  check_time("TP", pt)
  return setmetatable({pt = pt, et = 0, q = false, start = nil, last = false}, tp)
end
function tp:run(input)
  check_self(self, tp)
  local on = truth(input)
  local t = now_ms()
  if self.start == nil and on and not self.last then
    self.start = t
  end
  if self.start ~= nil then
    self.et = min(t - self.start, self.pt)
    if self.et >= self.pt then
      self.start = nil
    end
  end
  self.q = self.start ~= nil
  if self.start == nil and not on then self.et = 0 end
  self.last = on
  return self.q
end

-- R_TRIG and F_TRIG: q for one run on the edge.
local r_trig = class("R_TRIG")
function R_TRIG() return setmetatable({q = false, last = false}, r_trig) end
function r_trig:run(clk)
  check_self(self, r_trig)
  local on = truth(clk)
  self.q = on and not self.last
  self.last = on
  return self.q
end

local f_trig = class("F_TRIG")
function F_TRIG() return setmetatable({q = false, last = false}, f_trig) end
function f_trig:run(clk)
  check_self(self, f_trig)
  local on = truth(clk)
  self.q = self.last and not on
  self.last = on
  return self.q
end

-- CTU: counts rising edges of cu up to 32767; r sets 0 and wins; q = cv >= pv.
local ctu = class("CTU")
function CTU(pv)
  pv = check_count("CTU", pv)
  return setmetatable({pv = pv, cv = 0, q = false, last = false}, ctu)
end
function ctu:run(cu, r)
  check_self(self, ctu)
  local on = truth(cu)
  if truth(r) then
    self.cv = 0
  elseif on and not self.last and self.cv < INT_MAX then
    self.cv = self.cv + 1
  end
  self.last = on
  self.q = self.cv >= self.pv
  return self.q
end

-- CTD: counts rising edges of cd down to -32768; ld loads pv and wins; q = cv <= 0.
local ctd = class("CTD")
function CTD(pv)
  pv = check_count("CTD", pv)
  return setmetatable({pv = pv, cv = 0, q = true, last = false}, ctd)
end
function ctd:run(cd, ld)
  check_self(self, ctd)
  local on = truth(cd)
  if truth(ld) then
    self.cv = self.pv
  elseif on and not self.last and self.cv > INT_MIN then
    self.cv = self.cv - 1
  end
  self.last = on
  self.q = self.cv <= 0
  return self.q
end

-- CTUD: r (to 0) wins over ld (to pv), which wins over counting; both edges in one run cancel.
local ctud = class("CTUD")
function CTUD(pv)
  pv = check_count("CTUD", pv)
  return setmetatable({pv = pv, cv = 0, qu = false, qd = true, last_up = false,
                       last_down = false}, ctud)
end
function ctud:run(cu, cd, r, ld)
  check_self(self, ctud)
  local up_on, down_on = truth(cu), truth(cd)
  local up = up_on and not self.last_up
  local down = down_on and not self.last_down
  if truth(r) then
    self.cv = 0
  elseif truth(ld) then
    self.cv = self.pv
  elseif up and not down and self.cv < INT_MAX then
    self.cv = self.cv + 1
  elseif down and not up and self.cv > INT_MIN then
    self.cv = self.cv - 1
  end
  self.last_up, self.last_down = up_on, down_on
  self.qu = self.cv >= self.pv
  self.qd = self.cv <= 0
  return self.qu, self.qd
end
)lua";

-- The palletiser of plant.toml: it stacks the cases the fillers send, layer by layer, and sends a
-- full pallet off now and then, so a SCADA screen sees counts that move.
--
-- DB30, written by this program          DB31, written by the HMI
--   DBW0:INT   cases on the layer          DBW0:INT  cases a layer (start 12)
--   DBW2:INT   layers on the pallet        DBW2:INT  layers a pallet (start 8)
--   DBD4:DINT  pallets done                DBX4.0    stop the palletiser
--   DBX8.0     running

local cases      = tag("DB30.DBW0:INT")
local layers     = tag("DB30.DBW2:INT")
local pallets    = tag("DB30.DBD4:DINT")
local running    = tag("DB30.DBX8.0")
local per_layer  = tag("DB31.DBW0:INT")
local per_pallet = tag("DB31.DBW2:INT")
local stop       = tag("DB31.DBX4.0")

local case_due = TON(400) -- a case arrives every 400 ms while the palletiser runs

function cycle(dt_ms)
  running.value = not stop.value
  -- The timer restarts itself: its input falls for the one cycle after it fired.
  if not case_due:run(running.value and not case_due.q) then
    return
  end
  cases.value = cases.value + 1
  if cases.value < math.max(per_layer.value, 1) then
    return
  end
  cases.value = 0
  layers.value = layers.value + 1
  if layers.value >= math.max(per_pallet.value, 1) then
    layers.value = 0
    pallets.value = pallets.value + 1
    log("pallet " .. pallets.value .. " done")
  end
end

-- For test_fixture.py: DB10.DBX0.1 follows DB10.DBX0.0 after 500 ms; DB10.DBD2 is the elapsed time.
local input, output = tag("DB10.DBX0.0"), tag("DB10.DBX0.1")
local elapsed = tag("DB10.DBD2:DINT")
local delay = TON(500)

function cycle(dt_ms)
  output.value = delay:run(input.value)
  elapsed.value = math.floor(delay.et)
end

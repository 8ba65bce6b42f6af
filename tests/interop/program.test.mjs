// A PLC running a Lua program (--program), end to end: node-snap7 writes what an HMI or the field
// would and reads what the program made of it. One table of small programs with their exchanges
// (timers, counters, write handlers, a ramp over dt_ms), one of the ways a program stops the CPU
// (each followed by the line in the log, a CPU in STOP that still serves, and a start that runs
// startup() again), the programs that do not compile, and the shipped filling line.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { performance } from 'node:perf_hooks';
import { after, describe, it } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';
import { fileURLToPath } from 'node:url';

import { freePort, host, startServer } from './lib/plc_server.mjs';
import { call, connectClient, quickCall } from './lib/snap7_async.mjs';

const S7AreaDB = 0x84;
const S7WLBit = 0x01;
const S7WLByte = 0x02;
const S7CpuStatusRun = 0x08;
const S7CpuStatusStop = 0x04;

const folder = mkdtempSync(join(tmpdir(), 'plcdouble-program-'));
after(() => rmSync(folder, { recursive: true, force: true }));

let fileCount = 0;
function programFile(source) {
    fileCount += 1;
    const file = join(folder, `program${fileCount}.lua`);
    writeFileSync(file, source);
    return file;
}

// An S7-1500 (it answers the PLC status and start a client sends) in slot 1, running the source.
async function startProgram(source, args = []) {
    const file = programFile(source);
    const server = await startServer({ args: ['--cpu', 's7-1500', '--program', file, ...args] });
    const client = await connectClient(host, server.port, { slot: 1 });
    return { server, client, file };
}

async function stopProgram({ server, client }) {
    client.Disconnect();
    const exit = await server.stop();
    assert.deepEqual(exit, { code: 0, signal: null }, `plcdouble log:\n${server.output}`);
}

// ---- values at data block addresses, as a client reads and writes them

// The types these tests use; a word or double word names its type (DB10.DBW2:INT).
const types = {
    BOOL: { size: 1 },
    BYTE: { size: 1, read: (b) => b[0], write: (b, v) => b.writeUInt8(v) },
    INT: { size: 2, read: (b) => b.readInt16BE(0), write: (b, v) => b.writeInt16BE(v) },
    DINT: { size: 4, read: (b) => b.readInt32BE(0), write: (b, v) => b.writeInt32BE(v) },
    REAL: { size: 4, read: (b) => b.readFloatBE(0), write: (b, v) => b.writeFloatBE(v) },
    // STRING[n]: n, the current length, the characters
    STRING: { read: (data) => data.toString('latin1', 2, 2 + Math.min(data[0], data[1])) },
};

function parseAddress(text) {
    const found = /^DB(\d+)\.DB([XBWD])(\d+)(?:\.([0-7]))?(?::(\w+)(?:\[(\d+)\])?)?$/.exec(text);
    assert.ok(found, `address ${text}`);
    const [, db, width, start, bit, name, capacity] = found;
    const type = name ?? { X: 'BOOL', B: 'BYTE' }[width];
    return {
        db: Number(db),
        start: Number(start),
        bit: Number(bit ?? 0),
        type,
        size: type === 'STRING' ? Number(capacity) + 2 : types[type].size,
    };
}

async function readValue(client, text) {
    const { db, start, bit, type, size } = parseAddress(text);
    const data = await call(client, 'DBRead', db, start, size);
    return type === 'BOOL' ? ((data[0] >> bit) & 1) === 1 : types[type].read(data);
}

function encode(type, value) {
    const data = Buffer.alloc(types[type].size);
    types[type].write(data, value);
    return data;
}

async function writeValue(client, text, value) {
    const { db, start, bit, type, size } = parseAddress(text);
    if (type === 'BOOL') {
        await call(client, 'WriteArea', S7AreaDB, db, start * 8 + bit, 1, S7WLBit,
                   Buffer.from([value ? 1 : 0]));
    } else {
        await call(client, 'DBWrite', db, start, size, encode(type, value));
    }
}

// ---- the steps of an exchange

const pollMs = 5;
// How much sooner than its time a value may show: the pass that runs the cycle takes its time
// before it serves the write that starts it.
const earlyMs = 10;

// The client writes; later steps measure their times from here.
const write = (address, value) => ({ kind: 'write', address, value });
// Several values written to one address in one request, so they arrive between the same two cycles.
const writeAtOnce = (address, values) => ({ kind: 'writeAtOnce', address, values });
// Reads at once: the value, or a value in [low, high].
const reads = (address, value) => ({ kind: 'reads', address, value });
// Reads until the value shows; fails if it shows before `after` ms or not within `within` ms.
const becomes = (address, value, { after = 0, within = 1000 } = {}) =>
    ({ kind: 'becomes', address, value, after, within });
// Reads for `ms` ms; the value never changes.
const stays = (address, value, ms) => ({ kind: 'stays', address, value, ms });
const waits = (ms) => ({ kind: 'waits', ms });

function matches(value, expected) {
    return Array.isArray(expected) ? value >= expected[0] && value <= expected[1]
                                   : value === expected;
}

async function runSteps(client, steps) {
    let mark = performance.now();
    for (const step of steps) {
        const what = JSON.stringify(step.value ?? step.values ?? step.ms);
        const where = `${step.kind} ${step.address ?? ''} ${what}`;
        switch (step.kind) {
        case 'write':
            await writeValue(client, step.address, step.value);
            mark = performance.now();
            break;
        case 'writeAtOnce': {
            const { db, start, type, size } = parseAddress(step.address);
            const items = step.values.map((value) => ({
                Area: S7AreaDB, WordLen: S7WLByte, DBNumber: db, Start: start,
                Amount: size, Data: encode(type, value),
            }));
            const results = await call(client, 'WriteMultiVars', items);
            assert.deepEqual(results.map((r) => r.Result), items.map(() => 0), where);
            mark = performance.now();
            break;
        }
        case 'reads': {
            const value = await readValue(client, step.address);
            assert.ok(matches(value, step.value), `${where}: read ${value}`);
            break;
        }
        case 'becomes': {
            for (;;) {
                const value = await readValue(client, step.address);
                const elapsed = performance.now() - mark;
                if (matches(value, step.value)) {
                    assert.ok(elapsed >= step.after - earlyMs,
                              `${where}: after ${elapsed.toFixed(0)} ms, expected ${step.after}`);
                    break;
                }
                assert.ok(elapsed < step.within,
                          `${where}: still ${value} after ${step.within} ms`);
                await sleep(pollMs);
            }
            break;
        }
        case 'stays': {
            const until = performance.now() + step.ms;
            while (performance.now() < until) {
                const value = await readValue(client, step.address);
                assert.ok(matches(value, step.value), `${where}: read ${value}`);
                await sleep(pollMs);
            }
            break;
        }
        case 'waits':
            await sleep(step.ms);
            break;
        default:
            throw new Error(`unknown step ${step.kind}`);
        }
    }
}

// ---- what a client sees of a running program

const exchanges = [
    {
        what: 'TON: the output follows the input once the input has been on for pt',
        source: `
local input, output = tag("DB10.DBX0.0"), tag("DB10.DBX0.1")
local delay = TON(400)
function cycle(dt_ms)
  output.value = delay:run(input.value)
end`,
        steps: [
            write('DB10.DBX0.0', true),
            reads('DB10.DBX0.1', false),
            becomes('DB10.DBX0.1', true, { after: 400, within: 800 }),
            write('DB10.DBX0.0', false),
            becomes('DB10.DBX0.1', false, { within: 200 }),
            // On again: the time starts anew.
            write('DB10.DBX0.0', true),
            becomes('DB10.DBX0.1', true, { after: 400, within: 800 }),
        ],
    },
    {
        what: 'TOF: the output follows the input up at once and stays on for pt after it falls',
        source: `
local input, output = tag("DB10.DBX0.0"), tag("DB10.DBX0.1")
local hold = TOF(300)
function cycle(dt_ms)
  output.value = hold:run(input.value)
end`,
        steps: [
            reads('DB10.DBX0.1', false),
            write('DB10.DBX0.0', true),
            becomes('DB10.DBX0.1', true, { within: 200 }),
            write('DB10.DBX0.0', false),
            becomes('DB10.DBX0.1', false, { after: 300, within: 700 }),
        ],
    },
    {
        what: 'TP: a rising edge gives a pulse of pt, however long the input stays on',
        source: `
local input, output = tag("DB10.DBX0.0"), tag("DB10.DBX0.1")
local pulse = TP(300)
function cycle(dt_ms)
  output.value = pulse:run(input.value)
end`,
        steps: [
            write('DB10.DBX0.0', true),
            becomes('DB10.DBX0.1', true, { within: 200 }),
            becomes('DB10.DBX0.1', false, { after: 300, within: 700 }),
            stays('DB10.DBX0.1', false, 100), // the input is still on
        ],
    },
    {
        what: 'CTU: counts the rising edges clients write, up to its preset; a word resets it',
        // seen mirrors the input as the cycle sampled it, so the client knows a falling edge was
        // seen before it writes the next rising one.
        source: `
local pulse, seen, done = tag("DB10.DBX0.0"), tag("DB10.DBX0.1"), tag("DB10.DBX0.2")
local count, reset = tag("DB10.DBW2:INT"), tag("DB10.DBW4:INT")
local counter = CTU(3)
function cycle(dt_ms)
  done.value = counter:run(pulse.value, reset.value)
  count.value = counter.cv
  seen.value = pulse.value
end`,
        steps: [
            write('DB10.DBX0.0', true),
            becomes('DB10.DBW2:INT', 1),
            write('DB10.DBX0.0', true), // no edge: still one
            stays('DB10.DBW2:INT', 1, 100),
            write('DB10.DBX0.0', false),
            becomes('DB10.DBX0.1', false),
            write('DB10.DBX0.0', true),
            becomes('DB10.DBW2:INT', 2),
            reads('DB10.DBX0.2', false),
            write('DB10.DBX0.0', false),
            becomes('DB10.DBX0.1', false),
            write('DB10.DBX0.0', true),
            becomes('DB10.DBW2:INT', 3),
            reads('DB10.DBX0.2', true),
            write('DB10.DBW4:INT', 7), // any number but 0 counts as true
            becomes('DB10.DBW2:INT', 0),
            reads('DB10.DBX0.2', false),
        ],
    },
    {
        what: 'on_write: the handlers of a tag run once in the cycle after a client wrote any of ' +
              'its bytes, in the order registered, with the value then; the program\'s writes ' +
              'call none',
        // A slow cycle, so the client's reads land between two cycles.
        args: ['--cycle-ms', '200'],
        source: `
local command, doubled = tag("DB10.DBW0:INT"), tag("DB10.DBW2:INT")
local calls, order = tag("DB10.DBW4:INT"), tag("DB10.DBD6:DINT")
on_write(command, function(value)
  doubled.value = value * 2
  calls.value = calls.value + 1
  order.value = order.value * 10 + 1
  command.value = 0
end)
on_write("DB10.DBB1", function(value)
  order.value = order.value * 10 + 2
end)
function cycle(dt_ms) end`,
        steps: [
            write('DB10.DBW0:INT', 21),
            becomes('DB10.DBW2:INT', 42, { within: 500 }),
            reads('DB10.DBW4:INT', 1),
            reads('DB10.DBD6:DINT', 12),
            reads('DB10.DBW0:INT', 0),
            stays('DB10.DBW4:INT', 1, 500),
            // Three writes between two cycles: one call, with the last value.
            writeAtOnce('DB10.DBW0:INT', [1, 2, 3]),
            becomes('DB10.DBW2:INT', 6, { within: 500 }),
            reads('DB10.DBW4:INT', 2),
            reads('DB10.DBD6:DINT', 1212),
            // The second byte alone is a write of the word, and of DBB1.
            write('DB10.DBB1', 5),
            becomes('DB10.DBW2:INT', 10, { within: 500 }),
            reads('DB10.DBD6:DINT', 121212),
            // A byte next to the word is not.
            write('DB10.DBB2', 0),
            stays('DB10.DBW4:INT', 3, 500),
        ],
    },
    {
        what: 'dt_ms: 0 in the first cycle after startup, then the milliseconds since the last; ' +
              'a ramp made of it moves at its rate',
        args: ['--cycle-ms', '50'],
        source: `
local setpoint, actual = tag("DB10.DBD0:REAL"), tag("DB10.DBD4:REAL")
local first_dt, second_dt = tag("DB10.DBD8:REAL"), tag("DB10.DBD12:REAL")
local RATE = 10 / 1000 -- per millisecond
local cycles = 0
function cycle(dt_ms)
  cycles = cycles + 1
  if cycles == 1 then first_dt.value = dt_ms elseif cycles == 2 then second_dt.value = dt_ms end
  local target, value = setpoint.value, actual.value
  if value < target then
    value = math.min(target, value + RATE * dt_ms)
  else
    value = math.max(target, value - RATE * dt_ms)
  end
  actual.value = value
end`,
        steps: [
            becomes('DB10.DBD12:REAL', [50, 150]),
            reads('DB10.DBD8:REAL', 0),
            write('DB10.DBD0:REAL', 5),
            waits(300), // 10 a second: 3 by now, give or take a cycle and the reads
            reads('DB10.DBD4:REAL', [2.3, 3.7]),
            becomes('DB10.DBD4:REAL', 5, { after: 450, within: 800 }),
            stays('DB10.DBD4:REAL', 5, 100),
            write('DB10.DBD0:REAL', -1),
            becomes('DB10.DBD4:REAL', -1, { after: 550, within: 900 }),
        ],
    },
];

describe('what a client reads from a running program', () => {
    for (const { what, source, args = [], steps } of exchanges) {
        it(what, async () => {
            const running = await startProgram(source, args);
            try {
                await runSteps(running.client, steps);
            } finally {
                await stopProgram(running);
            }
        });
    }

    // The step text an HMI shows: the program writes text into a STRING tag.
    it('a STRING tag holds the text the program assigns', {
    }, async () => {
        const running = await startProgram(`
local text = tag("DB10.DBB0:STRING[10]")
function cycle(dt_ms) text.value = "FILLING" end`);
        try {
            await runSteps(running.client, [becomes('DB10.DBB0:STRING[10]', 'FILLING')]);
        } finally {
            await stopProgram(running);
        }
    });
});

// ---- how a program stops the CPU, and how it runs again

// Each program counts its startups and cycles; the client sets DB10.DBX4.0 to make it fail once
// (it clears the bit before failing), where the row puts the failing code. The line marked
// "-- fails here" is the one the STOP line must name.
function failingProgram({ top = '', startup = '', cycle = '' }) {
    return `local starts, cycles = tag("DB10.DBW0:INT"), tag("DB10.DBW2:INT")
local trip = tag("DB10.DBX4.0")
${top}
function startup()
  starts.value = starts.value + 1
${startup}
end
function cycle(dt_ms)
  cycles.value = cycles.value + 1
${cycle}
end
`;
}

const onTrip = (code) => `  if trip.value then
    trip.value = false
    ${code} -- fails here
  end`;

const failures = [
    {
        what: 'a runtime error in cycle()',
        source: failingProgram({ cycle: onTrip('local valve = nil; valve.open = true') }),
        stop: "attempt to index a nil value (local 'valve')",
    },
    {
        what: 'an error the program raises',
        source: failingProgram({ cycle: onTrip('error("level sensor broken")') }),
        stop: 'level sensor broken',
        restart: 'PlcColdStart',
    },
    {
        what: 'a value that does not fit its tag',
        source: failingProgram({ cycle: onTrip('cycles.value = 40000') }),
        stop: 'DB10.DBW2:INT: 40000 does not fit INT (-32768 to 32767)',
    },
    {
        what: 'a cycle that never ends',
        args: ['--max-cycle-ms', '100'],
        source: failingProgram({ cycle: onTrip('while true do end') }),
        stop: 'cycle longer than 100 ms (max_cycle_ms)',
    },
    {
        what: 'a cycle that never ends inside pcall',
        args: ['--max-cycle-ms', '100'],
        source: failingProgram({ cycle: onTrip('pcall(function() while true do end end)') }),
        stop: 'cycle longer than 100 ms (max_cycle_ms)',
    },
    {
        what: 'memory past --program-memory-mb',
        // Time enough to reach the cap in one cycle, even in a sanitizer build.
        args: ['--program-memory-mb', '8', '--max-cycle-ms', '2000'],
        source: failingProgram({
            cycle: onTrip('local t = {}; for i = 1, 1e9 do t[i] = tostring(i):rep(200) end'),
        }),
        stop: 'memory past 8 MiB (program_memory_mb)',
    },
    {
        what: 'a runtime error in startup()',
        source: failingProgram({ startup: onTrip('error("no recipe loaded")') }),
        stop: 'no recipe loaded',
        // Set, the bit fails the next startup: a stop and a start of the CPU.
        trip: async (client) => {
            await writeValue(client, 'DB10.DBX4.0', true);
            await quickCall(client, 'PlcStop');
            await quickCall(client, 'PlcHotStart');
        },
    },
    {
        what: 'a runtime error in the top level, which runs again at the next start',
        source: failingProgram({
            top: 'if not trip.value then error("DB10.DBX4.0 must be set") end -- fails here',
        }),
        stop: 'DB10.DBX4.0 must be set',
        stopsAtStart: true,
        // Set, the bit lets the top level through once the program is loaded again.
        arm: (client) => writeValue(client, 'DB10.DBX4.0', true),
    },
];

function lineOf(source, marker) {
    const index = source.split('\n').findIndex((line) => line.includes(marker));
    assert.ok(index >= 0, `no ${marker} in the program`);
    return index + 1;
}

function escaped(text) {
    return text.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');
}

describe('a program that fails stops the CPU, not the server', () => {
    for (const row of failures) {
        const { what, source, args = [], stop, stopsAtStart = false } = row;
        const restart = row.restart ?? 'PlcHotStart';
        it(what, { todo: row.todo }, async () => {
            const running = await startProgram(source, args);
            const { server, client, file } = running;
            try {
                if (!stopsAtStart) {
                    await runSteps(client, [becomes('DB10.DBW2:INT', [2, 32767])]);
                    await (row.trip ?? ((c) => writeValue(c, 'DB10.DBX4.0', true)))(client);
                }
                const line = lineOf(source, '-- fails here');
                const stopLine = new RegExp(`^\\d\\d:\\d\\d:\\d\\d-\\[program\\] CPU STOP: ` +
                                            `${escaped(file)}:${line}: ${escaped(stop)}$`);
                await server.waitForLine(stopLine);
                assert.equal(server.lines().filter((l) => / CPU STOP: /.test(l)).length, 1,
                             server.output);

                // In STOP: the CPU says so, clients are served, the program runs no more.
                assert.equal(await quickCall(client, 'PlcStatus'), S7CpuStatusStop);
                const cycles = await readValue(client, 'DB10.DBW2:INT');
                const starts = await readValue(client, 'DB10.DBW0:INT');
                await runSteps(client, [stays('DB10.DBW2:INT', cycles, 200)]);

                // A start runs startup() again and the cycles go on.
                await row.arm?.(client);
                await quickCall(client, restart);
                assert.equal(await quickCall(client, 'PlcStatus'), S7CpuStatusRun);
                await runSteps(client, [
                    becomes('DB10.DBW0:INT', starts + 1, { within: 500 }),
                    becomes('DB10.DBW2:INT', [cycles + 3, 32767], { within: 1000 }),
                ]);
                assert.equal(await quickCall(client, 'PlcStatus'), S7CpuStatusRun);
                assert.equal(server.lines().filter((l) => / CPU STOP: /.test(l)).length, 1,
                             server.output);
            } finally {
                await stopProgram(running);
            }
        });
    }
});

// ---- programs that do not compile

const binary = process.env.PLCDOUBLE_BINARY;

const syntaxErrors = [
    {
        source: 'function cycle(dt_ms)\n  local level = = 3\nend\n',
        stderr: (file) => `plcdouble: ${file}:2: unexpected symbol near '='\n`,
    },
    {
        source: 'function startup()\n  log("start")\n\nfunction cycle(dt_ms)\nend\n',
        stderr: (file) => `plcdouble: ${file}:6: 'end' expected (to close 'function' at line 1) ` +
                          `near <eof>\n`,
    },
];

describe('a program that does not compile', () => {
    for (const { source, stderr } of syntaxErrors) {
        it(`exits 2 naming file and line: ${JSON.stringify(source.split('\n')[1])}`, async () => {
            const file = programFile(source);
            const args = ['--cpu', 's7-1500', '--port', String(await freePort()),
                          '--program', file, '--color', 'never'];
            const result = spawnSync(binary, args, { encoding: 'utf8', timeout: 10000 });
            assert.equal(result.status, 2, result.stdout + result.stderr);
            assert.equal(result.stderr, stderr(file));
            assert.equal(result.stdout, '');
        });
    }
});

// ---- the filling line of the README

describe('examples/filling-line.toml', () => {
    const config = fileURLToPath(new URL('../../examples/filling-line.toml', import.meta.url));

    it('fills the tank after a start: valve open, level rising; a stop closes it', async () => {
        const server = await startServer({ args: ['--config', config] });
        const client = await connectClient(host, server.port, { slot: 1 });
        const running = { server, client };
        const valve = async () => ((await call(client, 'ABRead', 0, 1))[0] & 1) === 1;
        try {
            await server.waitForLine(/\[program\] CPU start: tank at 0\.0 %, 0 batches done$/);
            assert.equal(await valve(), false);
            assert.ok(await readValue(client, 'DB20.DBD0:REAL') < 0.5); // empty, but for the noise

            await writeValue(client, 'DB10.DBW0:INT', 1); // start
            await runSteps(client, [
                becomes('DB20.DBW4:INT', 1), // filling
                reads('DB10.DBW0:INT', 0),   // the command was taken
            ]);
            assert.equal(await valve(), true);
            await server.waitForLine(/\[program\] STOPPED -> FILLING: start$/);
            // 5 % a second, give or take the sensor's noise.
            await sleep(1000);
            const first = await readValue(client, 'DB20.DBD0:REAL');
            await sleep(1000);
            const second = await readValue(client, 'DB20.DBD0:REAL');
            assert.ok(first > 2 && second > first + 3 && second < first + 7, `${first}, ${second}`);

            await writeValue(client, 'DB10.DBW0:INT', 2); // stop
            await runSteps(client, [becomes('DB20.DBW4:INT', 0)]);
            assert.equal(await valve(), false);
            const stopped = await readValue(client, 'DB20.DBD0:REAL');
            await sleep(300);
            assert.ok(Math.abs(await readValue(client, 'DB20.DBD0:REAL') - stopped) < 0.5);
        } finally {
            await stopProgram(running);
        }
    });
});

// The Node package clients/node (plcdouble) against the real binary: starting on free ports and
// what a failed start reports, waiting for writes that node-snap7 and nodes7 make (through the
// journal, never by sleeping), reset, the manual clock under a program with a TON, and servers
// that end with the test process that started them, however it ends.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { chmodSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { createInterface } from 'node:readline';
import { after, describe, it } from 'node:test';
import { fileURLToPath } from 'node:url';

import { entryOverlaps, parseAddress, PlcError, startPlc } from '../../clients/node/index.js';
import * as nodes7 from './lib/nodes7_async.mjs';
import { call, connectClient, snap7 } from './lib/snap7_async.mjs';

const folder = mkdtempSync(join(tmpdir(), 'plcdouble-node-package-'));
after(() => rmSync(folder, { recursive: true, force: true }));

function writeFile(name, text, mode) {
    const file = join(folder, name);
    writeFileSync(file, text);
    if (mode !== undefined) {
        chmodSync(file, mode);
    }
    return file;
}

// Starts a PLC for one test and stops it afterwards, expecting a clean exit.
async function withPlc(options, body) {
    const plc = await startPlc(options);
    try {
        await body(plc);
    } finally {
        const exit = await plc.stop();
        assert.deepEqual(exit, { code: 0, signal: null }, plc.output);
    }
}

async function withSnap7(plc, body) {
    const client = await connectClient(plc.host, plc.port, { rack: plc.rack, slot: plc.slot });
    try {
        await body(client);
    } finally {
        client.Disconnect();
    }
}

describe('starting', () => {
    it('listens on free ports with the rack and slot its CPU profile takes', async () => {
        for (const [cpu, slot] of [[undefined, 2], ['s7-300', 2], ['s7-1500', 1]]) {
            await withPlc({ cpu }, async (plc) => {
                assert.equal(plc.host, '127.0.0.1');
                assert.ok(plc.port > 1024, `port ${plc.port}`);
                assert.match(plc.httpUrl, /^http:\/\/127\.0\.0\.1:\d+$/);
                assert.deepEqual([plc.cpu, plc.rack, plc.slot], [cpu ?? 'classic', 0, slot]);
                // A profile refuses any other slot, so connecting proves the slot.
                await withSnap7(plc, async (client) => {
                    const data = await call(client, 'DBRead', 1, 128, 13);
                    assert.equal(data.toString('latin1', 2, 2 + data[1]), 'Hello there');
                });
            });
        }
    });

    it('runs two servers side by side', async () => {
        const [first, second] = await Promise.all([startPlc(), startPlc()]);
        try {
            assert.notEqual(first.port, second.port);
            await first.write('DB1.DBW200:INT', 11);
            assert.equal(await second.read('DB1.DBW200:INT'), 0);
        } finally {
            await Promise.all([first.stop(), second.stop()]);
        }
    });

    it('reports what went wrong when the server does not come up', async () => {
        await assert.rejects(startPlc({ args: ['--cycle-ms', '0'] }), (error) => {
            assert.ok(error instanceof PlcError);
            assert.match(error.message, /exited during start-up \(exit status 2\)/);
            assert.match(error.stderr, /cycle/);
            assert.deepEqual(error.exit, { code: 2, signal: null });
            return true;
        });
        const missing = join(folder, 'no-such-binary');
        await assert.rejects(startPlc({ binary: missing }),
                             new RegExp(`cannot start ${missing}: .*ENOENT`));
        // A program that never writes the ready file is given up on and killed.
        const silent = writeFile('silent.sh', '#!/bin/sh\necho starting >&2\nexec sleep 60\n', 0o755);
        await assert.rejects(startPlc({ binary: silent, timeoutMs: 300 }), (error) => {
            assert.match(error.message, /not ready within 300 ms; stderr:\nstarting/);
            return true;
        });
    });
});

describe('waiting for writes', () => {
    it('finds a node-snap7 write made before the wait and one made during it', async () => {
        await withPlc({ cpu: 's7-1500' }, async (plc) => {
            await withSnap7(plc, async (client) => {
                await call(client, 'DBWrite', 5, 2, 2, Buffer.from([0x12, 0x34]));
                const first = await plc.waitForWrite('DB5.DBW2:INT');
                assert.deepEqual(
                    { source: first.source, area: first.area, db: first.db, start: first.start,
                      bit: first.bit, hex: first.hex },
                    { source: 'S7', area: 'DB', db: 5, start: 2, bit: -1, hex: '1234' });
                assert.equal(first.slot, 0);
                assert.match(first.peer, /^127\.0\.0\.1:\d+$/);

                const waiting = plc.waitForWrite('DB5.DBX3.0');
                await call(client, 'DBWrite', 5, 10, 1, Buffer.from([1])); // not it
                await call(client, 'DBWrite', 5, 3, 1, Buffer.from([0xAB]));
                const second = await waiting;
                assert.deepEqual([second.start, second.hex], [3, 'AB']);
                assert.ok(second.seq > first.seq);
            });
        });
    });

    it('tells bits of one byte apart in a nodes7 write, and times out', async () => {
        await withPlc({ cpu: 's7-1500' }, async (plc) => {
            const connection = await nodes7.connect(plc.host, plc.port, { slot: plc.slot });
            try {
                assert.equal(await nodes7.write(connection, ['DB6,X4.3'], [true]), false);
                const entry = await plc.waitForWrite('DB6.DBX4.3');
                assert.deepEqual([entry.db, entry.start, entry.bit, entry.source], [6, 4, 3, 'S7']);
                // The write is behind the helper now, and it was never to bit 2.
                const started = Date.now();
                await assert.rejects(plc.waitForWrite('DB6.DBX4.2', { timeoutMs: 300 }),
                                     /no write to DB6\.DBX4\.2 within 300 ms/);
                assert.ok(Date.now() - started >= 300);

                assert.equal(await nodes7.write(connection, ['DB6,INT8'], [-2]), false);
                const word = await plc.waitForWrite('DB6.DBB9');
                assert.deepEqual([word.start, word.hex], [8, 'FFFE']);
            } finally {
                await nodes7.drop(connection);
            }
        });
    });

    it('picks the write `where` accepts and goes on after it', async () => {
        await withPlc({}, async (plc) => {
            await withSnap7(plc, async (client) => {
                for (const value of [1, 2, 3]) {
                    await call(client, 'DBWrite', 7, 0, 2, Buffer.from([0, value]));
                }
                await plc.write('DB7.DBW0:INT', 4);
                const two = await plc.waitForWrite('DB7.DBW0', { where: (e) => e.hex === '0002' });
                assert.equal(two.hex, '0002');
                const three = await plc.waitForWrite('DB7.DBW0');
                assert.equal(three.hex, '0003');
                const own = await plc.waitForWrite('DB7.DBW0');
                assert.deepEqual([own.source, own.slot, own.hex], ['http', -1, '0004']);
                // From an explicit number, the whole history again.
                const again = await plc.waitForWrite('DB7.DBW0', { since: 0 });
                assert.equal(again.hex, '0001');
                const { writes, next } = await plc.journal(0);
                assert.deepEqual(writes.map((e) => e.hex), ['0001', '0002', '0003', '0004']);
                assert.equal(next, writes.at(-1).seq);
            });
        });
    });

    it('knows which bytes an address covers', () => {
        const cases = [
            ['DB1.DBX4.3', { area: 'DB', db: 1, start: 4, size: 1, bit: 3 }],
            ['db2.dbd8:real', { area: 'DB', db: 2, start: 8, size: 4, bit: -1 }],
            ['DB3.DBB10:STRING[20]', { area: 'DB', db: 3, start: 10, size: 22, bit: -1 }],
            ['DB3.DBB10:STRING', { area: 'DB', db: 3, start: 10, size: 256, bit: -1 }],
            ['%MW10:INT', { area: 'M', db: 0, start: 10, size: 2, bit: -1 }],
            ['Q1.7', { area: 'Q', db: 0, start: 1, size: 1, bit: 7 }],
            ['T5', { area: 'T', db: 0, start: 10, size: 2, bit: -1 }],
        ];
        for (const [text, range] of cases) {
            assert.deepEqual(parseAddress(text), range, text);
        }
        for (const bad of ['DB1.DBX4', 'DB1.DBW2.1', 'MX3.8', 'X5', 'DB1.DBW']) {
            assert.throws(() => parseAddress(bad), PlcError, bad);
        }
        const entry = { area: 'DB', db: 1, start: 3, bit: -1, hex: 'AABB' }; // bytes 3 and 4
        assert.deepEqual(['DB1.DBW2', 'DB1.DBB2', 'DB1.DBD4', 'DB1.DBB5', 'DB2.DBW3', 'DB1.DBX4.6']
            .map((text) => entryOverlaps(entry, parseAddress(text))), [true, false, true, false,
                                                                      false, true]);
    });
});

describe('reset and the manual clock', () => {
    it('reset brings memory, CPU, journal and fault counts back to their start', async () => {
        const options = { cpu: 's7-1500', args: ['--db', 'number=9,size=8,DBW2:INT=7'] };
        await withPlc(options, async (plc) => {
            await withSnap7(plc, async (client) => {
                await call(client, 'DBWrite', 9, 2, 2, Buffer.from([0, 99]));
                await plc.waitForWrite('DB9.DBW2');
                await plc.faults.add({ on: 'read', area: 'DB9', delay_ms: 1 });
                await call(client, 'DBRead', 9, 0, 2);
                assert.equal((await plc.faults.list())[0].matched, 1);
                await call(client, 'PlcStop');
                assert.equal(await call(client, 'PlcStatus'), 0x04); // STOP

                await plc.reset();
                // The same connection goes on.
                assert.equal(await call(client, 'PlcStatus'), 0x08); // RUN
                assert.deepEqual([...await call(client, 'DBRead', 9, 2, 2)], [0, 7]);
                const [rule] = await plc.faults.list();
                assert.deepEqual([rule.matched, rule.fired], [0, 0]);
                assert.deepEqual((await plc.journal(0)).writes, []);
                await plc.faults.remove(rule.id);
                assert.deepEqual(await plc.faults.list(), []);
            });
        });
    });

    it('advance moves a TON by exactly the time asked', async () => {
        const program = writeFile('timer.lua', `
local input, output = tag("DB10.DBX0.0"), tag("DB10.DBX0.1")
local elapsed = tag("DB10.DBD2:DINT")
local delay = TON(500)
function cycle(dt_ms)
  output.value = delay:run(input.value)
  elapsed.value = math.floor(delay.et)
end`);
        await withPlc({ cpu: 's7-1500', program, args: ['--clock', 'manual', '--cycle-ms', '10'] },
                      async (plc) => {
            const state = async () => [await plc.read('DB10.DBX0.1'),
                                       await plc.read('DB10.DBD2:DINT')];
            const first = await plc.advance(100);
            assert.equal(first.cycles, 10);
            await plc.write('DB10.DBX0.0', true);
            // The first cycle after the write starts the timer.
            const steps = [[10, false, 0], [300, false, 300], [190, false, 490],
                           [10, true, 500], [1000, true, 500]];
            let now = first.now_ms;
            for (const [ms, q, et] of steps) {
                const answer = await plc.advance(ms);
                now += ms;
                assert.deepEqual([answer.now_ms, answer.cycles], [now, ms / 10]);
                assert.deepEqual(await state(), [q, et], `after ${ms} more ms`);
            }
            await plc.write('DB10.DBX0.0', false);
            await plc.advance(10);
            assert.deepEqual(await state(), [false, 0]);
        });
    });

    it('advance is refused on the wall clock', async () => {
        await withPlc({}, async (plc) => {
            await assert.rejects(plc.advance(10), (error) => error.status === 409);
        });
    });
});

describe('the package', () => {
    it('packs, installs with npm and is found through its exports', async () => {
        const project = join(folder, 'project');
        const packageDir = fileURLToPath(new URL('../../clients/node/', import.meta.url));
        const { version } = JSON.parse(readFileSync(join(packageDir, 'package.json'), 'utf8'));
        const npm = (args, cwd) => run('npm', [...args, '--offline', '--no-audit', '--no-fund'],
                                       cwd);
        const packed = await npm(['pack', '--pack-destination', folder, packageDir], folder);
        assert.equal(packed.code, 0, packed.output);
        const tarball = join(folder, `plcdouble-${version}.tgz`);
        mkdirSync(project);
        writeFile('project/package.json', '{"name": "user", "private": true, "type": "module"}');
        const installed = await npm(['install', tarball], project);
        assert.equal(installed.code, 0, installed.output);
        writeFile('project/use.mjs', `
import { startPlc } from 'plcdouble';
const plc = await startPlc();
console.log(await plc.read('DB1.DBB128:STRING[32]'));
console.log(JSON.stringify(await plc.stop()));`);
        const used = await run(process.execPath, ['use.mjs'], project);
        assert.equal(used.output, 'Hello there\n{"code":0,"signal":null}\n');
    });
});

// ---- servers outlive no test process

const runner = fileURLToPath(new URL('./lib/plc_runner.mjs', import.meta.url));

// Resolves with the first line the child prints that parses as JSON with a pid.
async function firstPidLine(child) {
    for await (const line of createInterface({ input: child.stdout })) {
        if (line.startsWith('{"pid"')) {
            return JSON.parse(line);
        }
    }
    throw new Error('the runner ended without naming its server');
}

// Runs a command to its end: {code, output} with stdout and stderr together.
function run(command, args, cwd) {
    const child = spawn(command, args, { cwd, stdio: ['ignore', 'pipe', 'pipe'] });
    let output = '';
    child.stdout.on('data', (chunk) => { output += chunk; });
    child.stderr.on('data', (chunk) => { output += chunk; });
    return new Promise((resolve) => child.once('close', (code) => resolve({ code, output })));
}

function exitOf(child) {
    return new Promise((resolve) => child.once('exit', (code, signal) => resolve({ code, signal })));
}

// Node cannot wait for a process that is not its child; a pidfd can (python3 holds it). Resolves
// once the waiter holds the process, with a promise of whether it ended within timeoutMs.
async function watchProcess(pid, timeoutMs) {
    const script = [
        'import os, select, sys',
        'try:',
        '    fd = os.pidfd_open(int(sys.argv[1]))',
        'except ProcessLookupError:',
        '    print("gone", flush=True); sys.exit(0)',
        'print("held", flush=True)',
        'sys.exit(0 if select.select([fd], [], [], float(sys.argv[2]))[0] else 1)',
    ].join('\n');
    const waiter = spawn('python3', ['-c', script, String(pid), String(timeoutMs / 1000)],
                         { stdio: ['ignore', 'pipe', 'inherit'] });
    const ended = exitOf(waiter).then(({ code }) => code === 0);
    const [first] = await createInterface({ input: waiter.stdout })[Symbol.asyncIterator]().next()
        .then(({ value }) => [value]);
    assert.equal(first, 'held', `process ${pid} had ended before the test`);
    return ended;
}

describe('servers end with the process that started them', () => {
    for (const [how, mode] of [['killed with SIGKILL mid-test', 'wait'],
                               ['ending without stop()', 'leave']]) {
        it(`a test runner ${how} leaves no server`, { timeout: 30000 }, async () => {
            // Without the variable that makes node:test report to a parent runner in its own
            // format: the runner reports as a process of its own would.
            const { NODE_TEST_CONTEXT, ...env } = process.env;
            const child = spawn(process.execPath, [runner, mode], {
                stdio: ['ignore', 'pipe', 'inherit'],
                env,
            });
            const exited = exitOf(child);
            const { pid, httpUrl } = await firstPidLine(child);
            assert.match(httpUrl, /^http:/);
            const serverEnded = await watchProcess(pid, 10000);
            if (mode === 'wait') {
                child.kill('SIGKILL');
                assert.deepEqual(await exited, { code: null, signal: 'SIGKILL' });
            } else {
                assert.deepEqual(await exited, { code: 0, signal: null });
            }
            assert.equal(await serverEnded, true, `server ${pid} still runs`);
        });
    }
});

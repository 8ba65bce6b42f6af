// The Node package clients/node (plcdouble) against the real binary: starting with each profile's
// slot and what a failed start reports, writes of node-snap7 and nodes7 waited for in the journal
// (never by sleeping), reset, a TON under the manual clock, the package as npm installs it, and
// servers that end with the test process that started them, however it ends.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { createInterface } from 'node:readline';
import { after, describe, it } from 'node:test';
import { fileURLToPath } from 'node:url';

import { PlcError, startPlc } from '../../clients/node/index.js';
import * as nodes7 from './lib/nodes7_async.mjs';
import { call, connectClient } from './lib/snap7_async.mjs';

const folder = mkdtempSync(join(tmpdir(), 'plcdouble-node-package-'));
after(() => rmSync(folder, { recursive: true, force: true }));

function writeFile(name, text, mode = 0o644) {
    writeFileSync(join(folder, name), text, { mode });
    return join(folder, name);
}

// Runs the body with a PLC and stops it afterwards, expecting a clean exit.
async function withPlc(options, body) {
    const plc = await startPlc(options);
    try {
        await body(plc);
    } finally {
        assert.deepEqual(await plc.stop(), { code: 0, signal: null }, plc.output);
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
                assert.deepEqual([plc.cpu, plc.host, plc.rack, plc.slot],
                                 [cpu ?? 'classic', '127.0.0.1', 0, slot]);
                // A profile refuses any other slot, so connecting proves the slot.
                await withSnap7(plc, async (client) => {
                    const data = await call(client, 'DBRead', 1, 128, 13);
                    assert.equal(data.toString('latin1', 2, 2 + data[1]), 'Hello there');
                });
            });
        }
    });

    it('reports what went wrong when the server does not come up', async () => {
        await assert.rejects(startPlc({ args: ['--cycle-ms', '0'] }), (error) => {
            assert.ok(error instanceof PlcError);
            assert.match(error.message, /exited during start-up \(exit status 2\); stderr:\n.*cycle/);
            assert.deepEqual(error.exit, { code: 2, signal: null });
            return true;
        });
        const missing = join(folder, 'no-such-binary');
        await assert.rejects(startPlc({ binary: missing }), /cannot start .*no-such-binary.*ENOENT/);
        // A program that never writes the ready file is given up on and killed.
        const silent = writeFile('silent.sh', '#!/bin/sh\necho starting >&2\nexec sleep 60\n', 0o755);
        await assert.rejects(startPlc({ binary: silent, timeoutMs: 300 }),
                             /not ready within 300 ms; stderr:\nstarting/);
    });
});

describe('waiting for writes', () => {
    it('finds node-snap7 writes made before and during the wait, and `where` picks one', async () => {
        await withPlc({}, async (plc) => {
            await withSnap7(plc, async (client) => {
                await call(client, 'DBWrite', 5, 2, 2, Buffer.from([0x12, 0x34]));
                const first = await plc.waitForWrite('DB5.DBW2:INT');
                const { seq, time, peer, ...rest } = first;
                assert.deepEqual(rest, { source: 'S7', slot: 0, area: 'DB', db: 5, start: 2,
                                         bit: -1, hex: '1234' });
                assert.match(peer, /^127\.0\.0\.1:\d+$/);

                const waiting = plc.waitForWrite('DB5.DBX3.0');
                await call(client, 'DBWrite', 5, 10, 1, Buffer.from([1])); // not it
                await call(client, 'DBWrite', 5, 3, 1, Buffer.from([0xAB]));
                assert.deepEqual((({ start, hex }) => [start, hex])(await waiting), [3, 'AB']);

                for (const value of [1, 2, 3]) {
                    await call(client, 'DBWrite', 7, 0, 2, Buffer.from([0, value]));
                }
                await plc.write('DB7.DBW0:INT', 4);
                const hexOf = async (options) => (await plc.waitForWrite('DB7.DBW0', options)).hex;
                assert.equal(await hexOf({ where: (entry) => entry.hex === '0002' }), '0002');
                assert.equal(await hexOf(), '0003'); // goes on after the one found
                assert.equal(await hexOf({ where: (entry) => entry.source === 'http' }), '0004');
                assert.equal(await hexOf({ since: 0 }), '0001');
            });
        });
    });

    it('tells the bits of one byte apart in nodes7 writes, and times out', async () => {
        await withPlc({ cpu: 's7-1500' }, async (plc) => {
            const connection = await nodes7.connect(plc.host, plc.port, { slot: plc.slot });
            try {
                assert.equal(await nodes7.write(connection, ['DB6,X4.3'], [true]), false);
                const entry = await plc.waitForWrite('DB6.DBX4.3');
                assert.deepEqual([entry.db, entry.start, entry.bit], [6, 4, 3]);
                const started = Date.now();
                await assert.rejects(plc.waitForWrite('DB6.DBX4.2', { timeoutMs: 300 }),
                                     /no write to DB6\.DBX4\.2 within 300 ms/);
                assert.ok(Date.now() - started >= 300);
                // A word seen through its second byte.
                assert.equal(await nodes7.write(connection, ['DB6,INT8'], [-2]), false);
                assert.equal((await plc.waitForWrite('DB6.DBB9')).hex, 'FFFE');
            } finally {
                await nodes7.drop(connection);
            }
        });
    });
});

describe('reset and the manual clock', () => {
    it('reset brings memory, CPU, journal and fault counts back to their start', async () => {
        await withPlc({ cpu: 's7-1500', args: ['--db', 'number=9,size=8,DBW2:INT=7'] },
                      async (plc) => {
            await withSnap7(plc, async (client) => {
                await call(client, 'DBWrite', 9, 2, 2, Buffer.from([0, 99]));
                const id = await plc.faults.add({ on: 'read', area: 'DB9', delay_ms: 1 });
                await call(client, 'DBRead', 9, 0, 2);
                await call(client, 'PlcStop');

                await plc.reset();
                const [rule] = await plc.faults.list();
                assert.deepEqual([rule.id, rule.matched, rule.fired], [id, 0, 0]);
                // The same connection goes on.
                assert.equal(await call(client, 'PlcStatus'), 0x08); // RUN
                assert.deepEqual([...await call(client, 'DBRead', 9, 2, 2)], [0, 7]);
                assert.deepEqual((await plc.journal(0)).writes, []);
                await plc.faults.remove(id);
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
        const args = ['--clock', 'manual', '--cycle-ms', '10'];
        await withPlc({ cpu: 's7-1500', program, args }, async (plc) => {
            const state = async () => [await plc.read('DB10.DBX0.1'),
                                       await plc.read('DB10.DBD2:DINT')];
            let { now_ms: now } = await plc.advance(100);
            await plc.write('DB10.DBX0.0', true);
            // The first cycle after the write starts the timer.
            for (const [ms, q, et] of [[10, false, 0], [300, false, 300], [190, false, 490],
                                       [10, true, 500], [1000, true, 500]]) {
                now += ms;
                assert.deepEqual(await plc.advance(ms), { now_ms: now, cycles: ms / 10 });
                assert.deepEqual(await state(), [q, et], `after ${ms} more ms`);
            }
        });
    });
});

// Runs a command to its end: {code, output} with stdout and stderr together.
function run(command, args, cwd) {
    const child = spawn(command, args, { cwd, stdio: ['ignore', 'pipe', 'pipe'] });
    let output = '';
    child.stdout.on('data', (chunk) => { output += chunk; });
    child.stderr.on('data', (chunk) => { output += chunk; });
    return new Promise((resolve) => child.once('close', (code) => resolve({ code, output })));
}

it('packs, installs with npm and is found through its exports', async () => {
    const packageDir = fileURLToPath(new URL('../../clients/node/', import.meta.url));
    const { version } = JSON.parse(readFileSync(join(packageDir, 'package.json'), 'utf8'));
    const npm = (args, cwd) => run('npm', [...args, '--offline', '--no-audit', '--no-fund'], cwd);
    const packed = await npm(['pack', '--pack-destination', folder, packageDir], folder);
    assert.equal(packed.code, 0, packed.output);
    mkdirSync(join(folder, 'project'));
    writeFile('project/package.json', '{"name": "user", "private": true, "type": "module"}');
    const installed = await npm(['install', join(folder, `plcdouble-${version}.tgz`)],
                                join(folder, 'project'));
    assert.equal(installed.code, 0, installed.output);
    writeFile('project/use.mjs', `import { startPlc } from 'plcdouble';
const plc = await startPlc();
console.log(await plc.read('DB1.DBB128:STRING[32]'), JSON.stringify(await plc.stop()));`);
    const used = await run(process.execPath, ['use.mjs'], join(folder, 'project'));
    assert.equal(used.output, 'Hello there {"code":0,"signal":null}\n');
});

// ---- servers outlive no test process

// Node cannot wait for a process that is not its child; a pidfd can (python3 holds it). Resolves
// once the waiter holds the process, with {ended}: a promise of whether it ended within timeoutMs.
async function watchProcess(pid, timeoutMs) {
    const script = 'import os, select, sys\nfd = os.pidfd_open(int(sys.argv[1]))\n' +
                   'print("held", flush=True)\n' +
                   'sys.exit(0 if select.select([fd], [], [], float(sys.argv[2]))[0] else 1)';
    const waiter = spawn('python3', ['-c', script, String(pid), String(timeoutMs / 1000)],
                         { stdio: ['ignore', 'pipe', 'inherit'] });
    const ended = new Promise((resolve) => waiter.once('exit', (code) => resolve(code === 0)));
    const lines = createInterface({ input: waiter.stdout })[Symbol.asyncIterator]();
    assert.equal((await lines.next()).value, 'held', `process ${pid} was gone before the test`);
    return { ended };
}

describe('servers end with the process that started them', () => {
    const runner = fileURLToPath(new URL('./lib/plc_runner.mjs', import.meta.url));
    for (const [how, mode] of [['killed with SIGKILL mid-test', 'wait'],
                               ['ending without stop()', 'leave']]) {
        it(`a test runner ${how} leaves no server`, { timeout: 30000 }, async () => {
            // Without the variable that makes node:test report to a parent runner in its own
            // format: the runner reports as a process of its own would.
            // Its temporary folder, which a killed runner leaves, goes with this test's.
            const { NODE_TEST_CONTEXT, ...env } = process.env;
            env.TMPDIR = folder;
            const child = spawn(process.execPath, [runner, mode],
                                { stdio: ['ignore', 'pipe', 'inherit'], env });
            const exited = new Promise((resolve) => child.once('exit', (code, signal) =>
                resolve({ code, signal })));
            let pid;
            for await (const line of createInterface({ input: child.stdout })) {
                if (line.startsWith('{"pid"')) {
                    ({ pid } = JSON.parse(line));
                    break;
                }
            }
            assert.ok(pid, 'the runner named no server');
            const { ended: serverEnded } = await watchProcess(pid, 10000);
            if (mode === 'wait') {
                child.kill('SIGKILL');
            }
            assert.deepEqual(await exited, mode === 'wait' ? { code: null, signal: 'SIGKILL' }
                                                           : { code: 0, signal: null });
            assert.equal(await serverEnded, true, `server ${pid} still runs`);
        });
    }
});

// What a project's own tests rely on, against the real binary: the ready file names ports bound
// with port 0 and a client may connect the moment it appears; the journal's long poll is answered
// by a node-snap7 write; a reset puts the PLC back while the client stays connected; the manual
// clock moves a program's TON and the demo data by exactly what is asked; every bad input is
// refused and changes nothing.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, watch, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, before, describe, it } from 'node:test';

import { call, snap7 } from './lib/snap7_async.mjs';

const folder = mkdtempSync(join(tmpdir(), 'plcdouble-kit-'));
writeFileSync(join(folder, 'plc.toml'),
              'cpu = "s7-1500"\n[[db]]\nnumber = 20\nsize = 16\nvalues = { "DBW0:INT" = 7 }\n');
// A TON on M0.0 with a 100 ms preset: its output on M0.1, its elapsed time in MD4.
writeFileSync(join(folder, 'ton.lua'), `
local timer = TON(100)
local input, output, elapsed = tag("M0.0"), tag("M0.1"), tag("MD4:DINT")
function cycle(dt_ms)
    timer:run(input.value)
    output.value = timer.q
    elapsed.value = timer.et
end
`);

let started = 0;

// Starts the binary with a ready file and resolves once the file is there (watched, not polled),
// with the file's content and the process.
function startWithReadyFile(args) {
    const readyFile = join(folder, `ready-${++started}.json`);
    return new Promise((resolve, reject) => {
        const watcher = watch(folder, (event, name) => {
            if (name === `ready-${started}.json`) {
                watcher.close();
                resolve({ ready: JSON.parse(readFileSync(readyFile, 'utf8')), child, readyFile });
            }
        });
        const child = spawn(process.env.PLCDOUBLE_BINARY,
                            ['--port', '0', '--ready-file', readyFile, '--color', 'never', ...args],
                            { stdio: ['ignore', 'ignore', 'pipe'] });
        let errors = '';
        child.stderr.on('data', (text) => { errors += text; });
        child.once('exit', (code) => {
            watcher.close();
            reject(new Error(`plcdouble exited with ${code} before it was ready: ${errors}`));
        });
    });
}

function stop(child) {
    return new Promise((resolve) => {
        child.once('exit', (code) => resolve(code));
        child.kill('SIGTERM');
    });
}

async function api(base, path, { method = 'GET', body } = {}) {
    const response = await fetch(base + path, {
        method, body: body === undefined ? undefined : JSON.stringify(body),
    });
    return { status: response.status, json: await response.json() };
}

describe('a PLC started for a test', () => {
    let server;
    let base;
    let client;

    before(async () => {
        server = await startWithReadyFile(['--config', join(folder, 'plc.toml'), '--http', '127.0.0.1:0',
                                           '--clock', 'manual', '--program', join(folder, 'ton.lua')]);
        const { ready } = server;
        base = `http://${ready.http.address}:${ready.http.port}`;
        // No retry: the listeners were open before the file appeared.
        client = new snap7.S7Client();
        client.SetParam(client.RemotePort, ready.s7.port);
        await call(client, 'ConnectTo', ready.s7.address, 0, 1);
    });

    after(async () => {
        client.Disconnect();
        assert.equal(await stop(server.child), 0);
        assert.throws(() => readFileSync(server.readyFile), /ENOENT/, 'the ready file is removed');
    });

    it('names the process and the ports the OS gave', () => {
        assert.equal(server.ready.pid, server.child.pid);
        assert.equal(server.ready.s7.address, '127.0.0.1');
        assert.ok(server.ready.s7.port > 0 && server.ready.http.port > 0);
    });

    it('answers a long poll with the write a client makes while it waits', async () => {
        const { json: before } = await api(base, '/api/journal');
        const asked = Date.now();
        const poll = api(base, `/api/journal?since=${before.next}&wait_ms=10000`);
        await call(client, 'DBWrite', 20, 2, 3, Buffer.from([0xc0, 0xff, 0xee]));
        const { status, json } = await poll;
        assert.equal(status, 200);
        assert.ok(Date.now() - asked < 2000, 'answered when the write came, not at the time limit');
        assert.equal(json.lost, 0);
        assert.equal(json.next, before.next + 1);
        const [write] = json.writes;
        assert.match(write.time, /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z$/);
        assert.match(write.peer, /^127\.0\.0\.1:\d+$/);
        assert.deepEqual({ ...write, time: undefined, peer: undefined }, {
            seq: before.next + 1, time: undefined, source: 'S7', slot: 0, peer: undefined,
            area: 'DB', db: 20, start: 2, bit: -1, hex: 'C0FFEE',
        });
    });

    it('keeps writes in the order they were stored, whoever made them', async () => {
        const { json: before } = await api(base, '/api/journal');
        await api(base, '/api/watch', { method: 'PUT', body: { addr: 'DB20.DBX1.3', value: true } });
        await call(client, 'WriteArea', client.S7AreaMK, 0, 8 * 10 + 2, 1, client.S7WLBit, Buffer.from([1]));
        await api(base, '/api/memory/q?start=1', { method: 'PUT', body: { hex: 'A5' } });
        const { json } = await api(base, `/api/journal?since=${before.next}`);
        assert.deepEqual(json.writes.map((w) => [w.source, w.area, w.db, w.start, w.bit, w.hex]), [
            ['http', 'DB', 20, 1, 3, '01'],
            ['S7', 'M', 0, 10, 2, '01'],
            ['http', 'Q', 0, 1, -1, 'A5'],
        ]);
        assert.equal(json.next, before.next + 3);
    });

    it('moves the program and the demo data only when told, by exactly that', async () => {
        const readDemo = () => call(client, 'DBRead', 1, 0, 16);
        const demoBefore = await readDemo();
        await api(base, '/api/watch', { method: 'PUT', body: { addr: 'M0.0', value: true } });
        const watch = async () => (await api(base, '/api/watch?addr=M0.1&addr=MD4:DINT')).json.values
            .map((entry) => entry.value);
        // The cycle after the write is the first to see the input: the timer counts from there.
        const steps = [[20, 1, [false, 0]], [60, 3, [false, 60]], [40, 2, [true, 100]], [0, 0, [true, 100]]];
        let now = (await api(base, '/api/clock')).json.now_ms;
        for (const [advance, cycles, values] of steps) {
            const { status, json } = await api(base, '/api/clock', { method: 'POST', body: { advance_ms: advance } });
            now += advance;
            assert.equal(status, 200);
            assert.deepEqual(json, { now_ms: now, cycles }, `advance ${advance}`);
            assert.deepEqual(await watch(), values, `after ${advance} ms more`);
        }
        assert.notDeepEqual(await readDemo(), demoBefore, 'the demo data moved with the clock');
        const demoNow = await readDemo();
        assert.deepEqual(await readDemo(), demoNow, 'and stands still while the clock does');
    });

    it('refuses every bad input with its status and changes nothing', async () => {
        const { json: journalBefore } = await api(base, '/api/journal');
        const { json: clockBefore } = await api(base, '/api/clock');
        const refused = [
            ['/api/journal?since=abc', 'GET', undefined, 400],
            ['/api/journal?since=-1', 'GET', undefined, 400],
            ['/api/journal?wait_ms=30001', 'GET', undefined, 400],
            ['/api/journal?wait_ms=1.5', 'GET', undefined, 400],
            ['/api/clock', 'POST', { advance_ms: -1 }, 400],
            ['/api/clock', 'POST', { advance_ms: 3600001 }, 400],
            ['/api/clock', 'POST', { advance_ms: 2.5 }, 400],
            ['/api/clock', 'POST', { advance: 10 }, 400],
            ['/api/reset', 'GET', undefined, 405],
        ];
        for (const [path, method, body, status] of refused) {
            const answer = await api(base, path, { method, body });
            assert.equal(answer.status, status, `${method} ${path} ${JSON.stringify(body)}`);
            assert.equal(typeof answer.json.error, 'string');
        }
        assert.deepEqual((await api(base, '/api/journal')).json.next, journalBefore.next);
        assert.deepEqual((await api(base, '/api/clock')).json, clockBefore);
    });

    it('resets memory, CPU, program and journal while the client stays connected', async () => {
        await call(client, 'DBWrite', 20, 0, 2, Buffer.from([0x12, 0x34]));
        await call(client, 'DBWrite', 21, 0, 2, Buffer.from([1, 2])); // created on touch
        await api(base, '/api/faults', { method: 'POST', body: { on: 'read', area: 'DB30', item_code: 10 } });
        await call(client, 'DBRead', 30, 0, 1).catch(() => {});
        await api(base, '/api/cpu', { method: 'POST', body: { state: 'STOP' } });
        const { json: before } = await api(base, '/api/journal');

        const { status, json } = await api(base, '/api/reset', { method: 'POST' });
        assert.equal(status, 200);
        assert.deepEqual(json, { state: 'RUN', next: before.next });

        assert.deepEqual(await call(client, 'DBRead', 20, 0, 2), Buffer.from([0, 7]), 'the start value');
        assert.deepEqual(await call(client, 'DBRead', 21, 0, 2), Buffer.from([0, 0]), 'a block made by a write is gone');
        assert.deepEqual((await api(base, '/api/journal')).json, { next: before.next, lost: 0, writes: [] });
        const [rule] = (await api(base, '/api/faults')).json.rules;
        assert.deepEqual([rule.settings.area, rule.matched, rule.fired], ['DB30', 0, 0]);
        assert.equal((await api(base, '/api/status')).json.state, 'RUN');
        // The program starts again from its startup: the timer's output is off until it runs out.
        await api(base, '/api/clock', { method: 'POST', body: { advance_ms: 20 } });
        assert.deepEqual((await api(base, '/api/watch?addr=M0.1')).json.values[0].value, false);
    });
});

describe('a start that cannot be used', () => {
    it('stops with status 2 and one line when the ready file cannot be written', async () => {
        const child = spawn(process.env.PLCDOUBLE_BINARY,
                            ['--port', '0', '--ready-file', join(folder, 'missing', 'ready.json')],
                            { stdio: ['ignore', 'ignore', 'pipe'] });
        let errors = '';
        child.stderr.on('data', (text) => { errors += text; });
        const code = await new Promise((resolve) => child.once('exit', resolve));
        assert.equal(code, 2);
        assert.match(errors, /^plcdouble: cannot write the ready file .*missing\/ready\.json: No such file or directory\n$/);
    });

    it('with --http and a real clock refuses to move the clock', async () => {
        const { ready, child } = await startWithReadyFile(['--http', '127.0.0.1:0']);
        const base = `http://${ready.http.address}:${ready.http.port}`;
        const { status, json } = await api(base, '/api/clock', { method: 'POST', body: { advance_ms: 10 } });
        assert.equal(status, 409);
        assert.match(json.error, /--clock manual/);
        assert.equal(await stop(child), 0);
    });
});

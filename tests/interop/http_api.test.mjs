// The watch page's JSON API over real HTTP (Node's fetch), against the real binary: values written
// over the API are read by node-snap7 and the other way round, every bad input gets its status
// and writes nothing, the token and read-only rules hold, the event stream delivers a value
// a client changed within a second, and a PLC program is reported, downloaded and restarted.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, before, describe, it } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';

import { freePort, host, startServer } from './lib/plc_server.mjs';
import { quickCall, snap7 } from './lib/snap7_async.mjs';

const folder = mkdtempSync(join(tmpdir(), 'plcdouble-http-'));
const config = join(folder, 'plc.toml');
// A strict CPU: DB20 (16 bytes) exists, DB21 does not; the demo blocks are declared too.
writeFileSync(config, 'cpu = "s7-1500"\nstrict = true\n[[db]]\nnumber = 20\nsize = 16\n');

async function startWithPage(extra = []) {
    const httpPort = await freePort();
    const server = await startServer({ args: ['--config', config, '--http', String(httpPort), ...extra] });
    await server.waitForLine(/Watch page on http:\/\/127\.0\.0\.1:\d+\//);
    return { server, base: `http://${host}:${httpPort}` };
}

async function api(base, path, { method = 'GET', body, token, raw } = {}) {
    const headers = {};
    if (token) {
        headers.Authorization = `Bearer ${token}`;
    }
    const response = await fetch(base + path, {
        method,
        headers,
        body: raw ?? (body === undefined ? undefined : JSON.stringify(body)),
    });
    const text = await response.text();
    let json;
    try {
        json = JSON.parse(text);
    } catch {
        json = undefined;
    }
    return { status: response.status, json, text };
}

describe('the JSON API beside an S7 client', () => {
    let server;
    let base;
    let client;

    before(async () => {
        ({ server, base } = await startWithPage());
        client = new snap7.S7Client();
        client.SetParam(client.RemotePort, server.port);
        await quickCall(client, 'ConnectTo', host, 0, 1);
    });

    after(async () => {
        client.Disconnect();
        await server.stop();
    });

    it('a value written over the API is what the client reads, and the other way round', async () => {
        const written = await api(base, '/api/watch', { method: 'PUT', body: { addr: 'DB20.DBW2:INT', value: -300 } });
        assert.equal(written.status, 200, written.text);
        assert.deepEqual(await quickCall(client, 'DBRead', 20, 2, 2), Buffer.from([0xfe, 0xd4]));
        await server.waitForLine(/\[http\] Receiving write HTTP data DB20,2 l=2: DB20\.DBW2:INT = -300/);

        await quickCall(client, 'DBWrite', 20, 4, 6, Buffer.from([0x40, 0x49, 0x0f, 0xdb, 0x01, 0x02]));
        const read = await api(base, '/api/watch?addr=DB20.DBD4:REAL&addr=DB20.DBX9.1&addr=DB20.DBB8:CHAR&addr=DB20.DBW2:INT');
        assert.equal(read.status, 200, read.text);
        assert.deepEqual(read.json.values.map((entry) => [entry.addr, entry.type, entry.value]), [
            ['DB20.DBD4:REAL', 'REAL', Math.fround(Math.PI)],
            ['DB20.DBX9.1', 'BOOL', true],
            ['DB20.DBB8:CHAR', 'CHAR', '\x01'],
            ['DB20.DBW2:INT', 'INT', -300],
        ]);

        const memory = await api(base, '/api/memory/db/20?start=12', { method: 'PUT', body: { hex: 'C0FFEE' } });
        assert.equal(memory.status, 200, memory.text);
        assert.deepEqual(await quickCall(client, 'DBRead', 20, 12, 3), Buffer.from([0xc0, 0xff, 0xee]));
        assert.deepEqual((await api(base, '/api/memory/db/20?start=2&size=4')).json, { start: 2, hex: 'FED44049' });

        await quickCall(client, 'MBWrite', 10, 2, Buffer.from([0x12, 0x34]));
        assert.deepEqual((await api(base, '/api/memory/m?start=10&size=2')).json, { start: 10, hex: '1234' });
        assert.deepEqual((await api(base, '/api/watch?addr=MW10')).json.values[0].value, 0x1234);
    });

    it('refuses each bad input with its status, a JSON error, and writes nothing', async () => {
        const before = await quickCall(client, 'DBRead', 20, 0, 16);
        // [method, path, body (object, or raw text), status, words the error names]
        const rows = [
            ['GET', '/api/watch?addr=DB1.DBZ2', undefined, 400, /DB1\.DBZ2/],
            ['GET', '/api/watch', undefined, 400, /address/],
            ['GET', '/api/watch?addr=DB21.DBW0', undefined, 404, /DB21 does not exist/],
            ['GET', '/api/watch?addr=DB20.DBD14', undefined, 400, /past the end/],
            ['GET', '/api/memory/db/20?start=10&size=7', undefined, 400, /past the end of DB20/],
            ['GET', '/api/memory/db/21', undefined, 404, /DB21 does not exist/],
            ['GET', '/api/memory/db/x', undefined, 400, /block number/],
            ['GET', '/api/memory/db/20?start=-1', undefined, 400, /start/],
            ['GET', '/api/memory/z', undefined, 404, /no memory named/],
            ['PUT', '/api/memory/db/20?start=15', { hex: '0102' }, 400, /past the end of DB20/],
            ['PUT', '/api/memory/db/21', { hex: '01' }, 404, /DB21 does not exist/],
            ['PUT', '/api/memory/db/20', { hex: '012' }, 400, /hex/],
            ['PUT', '/api/memory/db/20', { hex: 'GG' }, 400, /hex/],
            ['PUT', '/api/memory/db/20', { bytes: '01' }, 400, /hex/],
            ['PUT', '/api/watch', { addr: 'DB20.DBW0:INT', value: 'ten' }, 400, /INT takes an integer/],
            ['PUT', '/api/watch', { addr: 'DB20.DBW0:INT', value: 40000 }, 400, /does not fit INT/],
            ['PUT', '/api/watch', { addr: 'DB20.DBX0.0', value: 1 }, 400, /BOOL takes true or false/],
            ['PUT', '/api/watch', { addr: 'DB20.DBB0:STRING[20]', value: 'x' }, 400, /past the end/],
            ['PUT', '/api/watch', { addr: 'DB21.DBW0', value: 1 }, 404, /DB21 does not exist/],
            ['PUT', '/api/watch', { addr: 'nonsense', value: 1 }, 400, /nonsense/],
            ['PUT', '/api/watch', { value: 1 }, 400, /addr/],
            ['PUT', '/api/watch', '{"addr": "DB20.DBW0", ', 400, /malformed JSON/],
            ['PUT', '/api/watch', '[1, 2]', 400, /JSON object/],
            ['PUT', '/api/watch', ' '.repeat(64 * 1024 + 1), 413, /64 KiB/],
            ['POST', '/api/cpu', { state: 'HALT' }, 400, /RUN/],
            ['GET', '/api/nothing', undefined, 404, /no such API path/],
            ['GET', '/api/program/source', undefined, 404, /no program/],
            ['POST', '/api/program', 'function cycle() end', 405, /POST/],
            ['PUT', '/api/program/source', 'function cycle() end', 405, /PUT/],
            ['DELETE', '/api/status', undefined, 405, /DELETE/],
            ['POST', '/api/watch', { addr: 'DB20.DBW0', value: 1 }, 405, /POST/],
        ];
        for (const [method, path, body, status, named] of rows) {
            const options = typeof body === 'string' ? { method, raw: body } : { method, body };
            const answer = await api(base, path, options);
            assert.equal(answer.status, status, `${method} ${path}: ${answer.text}`);
            assert.match(answer.json?.error ?? '', named, `${method} ${path}`);
        }
        assert.deepEqual(await quickCall(client, 'DBRead', 20, 0, 16), before);
        assert.equal((await api(base, '/api/memory/db/21')).status, 404); // no block was created
    });

    it('STOP and RUN over the API move the CPU the client sees', async () => {
        assert.deepEqual((await api(base, '/api/cpu', { method: 'POST', body: { state: 'STOP' } })).json, { state: 'STOP' });
        assert.equal(await quickCall(client, 'PlcStatus'), 0x04);
        assert.equal((await api(base, '/api/status')).json.state, 'STOP');
        await server.waitForLine(/\[http\] CPU STOP requested/);
        await api(base, '/api/cpu', { method: 'POST', body: { state: 'RUN' } });
        assert.equal(await quickCall(client, 'PlcStatus'), 0x08);
    });

    it('the status lists the connection with its counts, the blocks and the areas', async () => {
        const { json } = await api(base, '/api/status');
        assert.equal(json.cpu, 's7-1500');
        assert.equal(json.strict, true);
        assert.equal(json.connections.length, 1);
        const [connection] = json.connections;
        assert.equal(connection.kind, 'S7');
        assert.match(connection.peer, /^127\.0\.0\.1:\d+$/);
        assert.ok(connection.requests >= 8 && connection.bytesIn > 0 && connection.bytesOut > 0, JSON.stringify(connection));
        assert.equal(json.requestsPerSecond.length, 60);
        assert.ok(json.requestsPerSecond.reduce((a, b) => a + b) >= 8);
        assert.deepEqual(json.dataBlocks.map((block) => [block.number, block.size]), [[1, 2048], [15, 2048], [20, 16]]);
        assert.deepEqual(json.areas.map((area) => area.path), ['i', 'q', 'm', 't', 'c']);
        assert.equal(json.program, 'none');
        const program = (await api(base, '/api/program')).json;
        assert.deepEqual([program.file, program.state, program.error, program.cycles], [null, 'none', null, 0]);
    });

    it('the event stream sends a value a client changed within a second, and only changes', async () => {
        const controller = new AbortController();
        const response = await fetch(`${base}/api/events?addr=DB20.DBW0:INT&addr=bad&memory=db/20`, { signal: controller.signal });
        assert.equal(response.headers.get('content-type'), 'text/event-stream');
        const reader = response.body.getReader();
        const decoder = new TextDecoder();
        let text = '';
        const events = [];
        const nextEvent = async (name, deadline) => {
            for (;;) {
                const found = events.findIndex((event) => event.name === name);
                if (found >= 0) {
                    return events.splice(found, 1)[0].data;
                }
                const left = deadline - Date.now();
                assert.ok(left > 0, `no ${name} event in time; got ${text}`);
                const chunk = await Promise.race([reader.read(), new Promise((resolve) => setTimeout(resolve, left, null))]);
                if (chunk === null) {
                    continue;
                }
                text += decoder.decode(chunk.value, { stream: true });
                let end;
                while ((end = text.indexOf('\n\n')) >= 0) {
                    const block = text.slice(0, end);
                    text = text.slice(end + 2);
                    const name = /^event: (.*)$/m.exec(block)?.[1];
                    const data = /^data: (.*)$/m.exec(block)?.[1];
                    if (name) {
                        events.push({ name, data: JSON.parse(data) });
                    }
                }
            }
        };
        try {
            const first = await nextEvent('values', Date.now() + 2000);
            assert.equal(first.values.length, 2);
            assert.equal(first.values[1].index, 1);
            assert.match(first.values[1].error, /bad/);
            assert.equal((await nextEvent('memory', Date.now() + 2000)).hex.length, 32);
            assert.ok((await nextEvent('log', Date.now() + 2000)).lines.length > 0);
            await nextEvent('status', Date.now() + 2000);

            await quickCall(client, 'DBWrite', 20, 0, 2, Buffer.from([0x01, 0x02]));
            const changed = await nextEvent('values', Date.now() + 1000);
            assert.deepEqual(changed.values, [{ addr: 'DB20.DBW0:INT', type: 'INT', value: 258, index: 0 }]);
            assert.match((await nextEvent('memory', Date.now() + 1000)).hex, /^0102/);
        } finally {
            controller.abort();
        }
    });

    it('fault rules are added, switched and removed over the API, and act on the client', async () => {
        const bad = await api(base, '/api/faults', { method: 'POST', body: { on: 'read', item_code: '0x0A', close: true } });
        assert.equal(bad.status, 400, bad.text);
        assert.match(bad.json.error, /bad fault rule/);
        assert.equal((await api(base, '/api/faults', { method: 'POST', body: { on: 'read', area: [1] } })).status, 400);
        const added = await api(base, '/api/faults', { method: 'POST', body: { on: 'read', area: 'DB20', item_code: '0x0A' } });
        assert.equal(added.status, 201, added.text);
        const { id } = added.json;
        const [rule] = (await api(base, '/api/faults')).json.rules.filter((entry) => entry.id === id);
        assert.equal(rule.enabled, true);
        assert.equal(rule.settings.area, 'DB20');
        await assert.rejects(quickCall(client, 'DBRead', 20, 0, 2));
        assert.equal((await api(base, `/api/faults/${id}`, { method: 'POST', body: { enabled: false } })).status, 200);
        assert.equal((await quickCall(client, 'DBRead', 20, 0, 2)).length, 2);
        assert.equal((await api(base, `/api/faults/${id}`, { method: 'DELETE' })).status, 200);
        assert.equal((await api(base, `/api/faults/${id}`, { method: 'DELETE' })).status, 404);
        assert.equal((await api(base, '/api/faults/x', { method: 'DELETE' })).status, 400);
        assert.deepEqual((await api(base, '/api/faults')).json.rules.filter((entry) => entry.id === id), []);
    });
});

// A text to find as it is in a log line.
const literally = (text) => text.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');

// The program's lines, numbered as the server numbers them in its errors.
const counter = [
    'local count = tag("DB20.DBW0:INT")',
    'function cycle(dt_ms)',
    '    count.value = (count.value + 1) % 30000',
    'end',
    '',
].join('\n');

describe('the PLC program over the API', () => {
    const file = join(folder, 'counter.lua');
    let server;
    let base;

    before(async () => {
        writeFileSync(file, counter);
        ({ server, base } = await startWithPage(['--program', file, '--cycle-ms', '10', '--max-cycle-ms', '200']));
    });

    after(async () => {
        await server.stop();
    });

    const program = async () => (await api(base, '/api/program')).json;
    const watched = async (addr) => (await api(base, `/api/watch?addr=${addr}`)).json.values[0].value;
    const waitForProgram = async (test, what) => {
        for (const deadline = Date.now() + 3000; ; await sleep(50)) {
            const json = await program();
            if (test(json)) {
                return json;
            }
            assert.ok(Date.now() < deadline, `${what}; last ${JSON.stringify(json)}`);
        }
    };
    const download = (source) => api(base, '/api/program', { method: 'PUT', raw: source });

    it('reports the program from --program running, its cycles growing, and its source', async () => {
        const first = await program();
        assert.deepEqual([first.file, first.state, first.error, first.cycleTime, first.maxCycleTime], [file, 'running', null, 10, 200]);
        await sleep(300);
        const later = await program();
        assert.ok(later.cycles >= first.cycles + 10, `${first.cycles} then ${later.cycles}`);
        const { last, min, avg, max } = later.cycleMs;
        assert.ok(min > 0 && min <= avg && avg <= max && last <= max, JSON.stringify(later.cycleMs));
        assert.ok(later.startLateMs.p99 >= 0 && later.startLateMs.p99 < 200, JSON.stringify(later.startLateMs));
        assert.equal((await api(base, '/api/status')).json.program, 'running');

        const source = await fetch(`${base}/api/program/source`);
        assert.equal(source.headers.get('content-type'), 'text/plain; charset=utf-8');
        assert.equal(await source.text(), counter);
    });

    it('refuses a program that does not compile, and the old one runs on', async () => {
        const text = `${file}:3: unexpected symbol near 'then'`;
        const before = await program();
        const answer = await download('tag("DB20.DBW0:INT").value = 7\nfunction cycle(dt_ms)\n    if then\nend\n');
        assert.equal(answer.status, 400, answer.text);
        assert.deepEqual(answer.json, { error: text, line: 3, text: "unexpected symbol near 'then'" });
        await server.waitForLine(new RegExp(`\\[http\\] Program download refused: ${literally(text)}$`));
        const after = await waitForProgram((json) => json.cycles > before.cycles, 'the old program stopped cycling');
        assert.equal(after.state, 'running');
        assert.equal((await api(base, '/api/program/source')).text, counter);
        const count = await watched('DB20.DBW0:INT');
        assert.notEqual(count, 7); // nothing of the refused program ran
        await sleep(100);
        assert.notEqual(await watched('DB20.DBW0:INT'), count);
    });

    it('takes a program that compiles; one failing once loaded stops the CPU at its line', async () => {
        // [source, line, the error as reported]
        const rows = [
            ['local limits = nil\nlocal top = limits.top\nfunction cycle() end\n', 2, "attempt to index a nil value (local 'limits')"],
            ['local spare = tag("DB21.DBW0")\nfunction cycle() end\n', 1, 'DB21.DBW0: not in DB21 as this PLC serves it'],
            ['local speed = 5\n', 0, 'the program has no function cycle(dt_ms)'],
        ];
        for (const [source, line, text] of rows) {
            const answer = await download(source);
            assert.equal(answer.status, 200, answer.text);
            const stopped = await waitForProgram((json) => json.state === 'error', 'the program did not stop');
            assert.deepEqual(stopped.error, { line, text });
            assert.equal((await api(base, '/api/status')).json.state, 'STOP');
            assert.equal((await download(counter)).status, 200);
            assert.equal((await api(base, '/api/cpu', { method: 'POST', body: { state: 'RUN' } })).status, 200);
            await waitForProgram((json) => json.state === 'running' && json.cycles > 2, 'the counter did not run again');
        }
    });

    it('takes a program up to 1 MiB, runs it from its startup, and refuses a larger one unread', async () => {
        const marker = [
            'local started = tag("DB20.DBW4:INT")',
            'local count = tag("DB20.DBW6:INT")',
            'function startup() started.value = 1234 end',
            'function cycle(dt_ms) count.value = count.value + 1 end',
            '',
        ].join('\n');
        const largest = ' '.repeat(1024 * 1024 - marker.length) + marker;
        const answer = await download(largest);
        assert.equal(answer.status, 200, answer.text.slice(0, 200));
        assert.equal(answer.json.file, file);
        assert.ok(answer.json.cycles < 10, `${answer.json.cycles} cycles`);
        await server.waitForLine(/\[http\] Program download: 1048576 bytes$/);
        await waitForProgram((json) => json.cycles > 5, 'the new program did not cycle');
        assert.equal(await watched('DB20.DBW4:INT'), 1234);
        assert.ok(await watched('DB20.DBW6:INT') > 0);

        const tooLarge = await download(`${largest} `);
        assert.equal(tooLarge.status, 413, tooLarge.text);
        assert.match(tooLarge.json.error, /larger than 1 MiB/);
        assert.equal((await api(base, '/api/program/source')).text, largest);
    });

    it('a runtime error stops the CPU at its line; RUN starts the program again', async () => {
        const failing = [
            'local fail = tag("DB20.DBX2.0")',
            'local count = tag("DB20.DBW8:INT")',
            'function cycle(dt_ms)',
            '    count.value = count.value + 1',
            '    if fail.value then error("stop requested") end',
            'end',
        ].join('\n');
        assert.equal((await download(failing)).status, 200);
        await api(base, '/api/watch', { method: 'PUT', body: { addr: 'DB20.DBX2.0', value: true } });
        const stopped = await waitForProgram((json) => json.state === 'error', 'no error state');
        assert.deepEqual(stopped.error, { line: 5, text: 'stop requested' });
        await server.waitForLine(new RegExp(`\\[program\\] CPU STOP: ${literally(file)}:5: stop requested$`));
        const status = (await api(base, '/api/status')).json;
        assert.deepEqual([status.state, status.program], ['STOP', 'error']);
        const cycles = stopped.cycles;

        await api(base, '/api/watch', { method: 'PUT', body: { addr: 'DB20.DBX2.0', value: false } });
        assert.equal((await program()).state, 'error'); // the CPU stays in STOP until asked
        const run = await api(base, '/api/cpu', { method: 'POST', body: { state: 'RUN' } });
        assert.deepEqual(run.json, { state: 'RUN' });
        const running = await waitForProgram((json) => json.state === 'running' && json.cycles > cycles,
                                              'the program did not run again');
        assert.equal(running.error, null);
        assert.equal((await api(base, '/api/status')).json.program, 'running');
    });
});

describe('who may use the API', () => {
    after(() => rmSync(folder, { recursive: true, force: true }));

    it('with a token every API request needs it; the page files do not', async () => {
        const { server, base } = await startWithPage(['--http-token', 's3cret']);
        try {
            assert.equal((await api(base, '/api/status')).status, 401);
            assert.equal((await api(base, '/api/status', { token: 'wrong' })).status, 401);
            assert.equal((await api(base, '/api/status', { token: 's3cret' })).status, 200);
            assert.equal((await api(base, '/api/program/source')).status, 401);
            assert.equal((await api(base, '/api/watch', { method: 'PUT', body: { addr: 'DB20.DBB0', value: 7 } })).status, 401);
            assert.equal((await fetch(`${base}/`)).status, 200);
            const stream = await fetch(`${base}/api/events?addr=DB20.DBB0&token=s3cret`);
            assert.equal(stream.status, 200);
            await stream.body.cancel();
            assert.equal((await fetch(`${base}/api/events?token=wrong`)).status, 401);
        } finally {
            await server.stop();
        }
    });

    it('read-only serves every GET and refuses every write', async () => {
        const { server, base } = await startWithPage(['--http-read-only']);
        try {
            assert.equal((await api(base, '/api/status')).json.readOnly, true);
            for (const [method, path, body] of [
                ['PUT', '/api/watch', { addr: 'DB20.DBB0', value: 7 }],
                ['PUT', '/api/memory/db/20', { hex: '07' }],
                ['POST', '/api/cpu', { state: 'STOP' }],
                ['POST', '/api/faults', { on: 'read', close: true }],
                ['DELETE', '/api/faults/1', undefined],
                ['PUT', '/api/program', 'function cycle() end'],
            ]) {
                const answer = await api(base, path, typeof body === 'string' ? { method, raw: body } : { method, body });
                assert.equal(answer.status, 403, `${method} ${path}`);
                assert.match(answer.json.error, /read-only/);
            }
            assert.deepEqual((await api(base, '/api/watch?addr=DB20.DBB0')).json.values[0].value, 0);
            assert.equal((await api(base, '/api/status')).json.state, 'RUN');
            assert.equal((await api(base, '/api/program')).json.state, 'none');
        } finally {
            await server.stop();
        }
    });

    it('refuses to start on another address than loopback without a token', () => {
        const run = spawnSync(process.env.PLCDOUBLE_BINARY, ['--port', '1', '--http', '0.0.0.0:1'], { encoding: 'utf8' });
        assert.equal(run.status, 2);
        assert.match(run.stderr, /--http-token/);
    });
});

// The bottling hall of examples/plant.toml against the real binary: node-snap7 reaches every PLC
// at its own loopback address and finds that PLC's identity there; two PLCs hold different values
// in the same DB; one PLC stopped leaves its neighbour running; log lines name their PLC.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, before, describe, it } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';

import { call, snap7 } from './lib/snap7_async.mjs';

const example = join(import.meta.dirname, '..', '..', 'examples', 'plant.toml');
const folder = mkdtempSync(join(tmpdir(), 'plcdouble-plant-'));

// Rack 0 and the slot each profile is served on.
const slotOf = { 's7-1500': 1, 's7-1200': 1, 's7-300': 2 };
const expected = [
    ...Array.from({ length: 12 }, (_, i) => ({ name: `filler-${i + 1}`, address: `127.1.0.${i + 1}`,
                                               cpu: 's7-1500', asName: `FILLER-${i + 1}` })),
    { name: 'palletiser', address: '127.1.0.20', cpu: 's7-1200', asName: 'PALLETISER' },
    { name: 'utility', address: '127.1.0.30', cpu: 's7-300', asName: 'UTILITIES' },
];

async function connect(plc, port) {
    const client = new snap7.S7Client();
    client.SetParam(client.RemotePort, port);
    await call(client, 'ConnectTo', plc.address, 0, slotOf[plc.cpu]);
    return client;
}

describe('a bottling hall in one process', () => {
    let child;
    let output = '';
    let ready;
    const clients = new Map();

    before(async () => {
        const readyFile = join(folder, 'ready.json');
        // Port 0: every PLC takes a free port on its own address; the ready file says which.
        child = spawn(process.env.PLCDOUBLE_BINARY,
                      ['--config', example, '--port', '0', '--state', join(folder, 'state'),
                       '--ready-file', readyFile, '--color', 'never'],
                      { stdio: ['ignore', 'pipe', 'pipe'] });
        child.stdout.setEncoding('utf8');
        child.stdout.on('data', (text) => { output += text; });
        child.stderr.on('data', (text) => { output += text; });
        for (let waited = 0; !existsSync(readyFile); waited += 20) {
            assert.ok(waited < 10000 && child.exitCode === null, `not ready: ${output}`);
            await sleep(20);
        }
        ready = JSON.parse(readFileSync(readyFile, 'utf8'));
        for (const plc of expected) {
            const entry = ready.plcs.find((each) => each.name === plc.name);
            assert.ok(entry, `${plc.name} is in the ready file`);
            clients.set(plc.name, await connect(plc, entry.port));
        }
    });

    after(async () => {
        for (const client of clients.values()) {
            client.Disconnect();
        }
        const exited = new Promise((resolve) => child.once('exit', resolve));
        child.kill('SIGTERM');
        assert.equal(await exited, 0);
    });

    it('lists every PLC at its own address in the ready file, in the file\'s order', () => {
        assert.deepEqual(ready.plcs.map(({ name, address }) => ({ name, address })),
                         expected.map(({ name, address }) => ({ name, address })));
        assert.deepEqual(ready.s7, { address: '127.1.0.1', port: ready.plcs[0].port });
    });

    it('answers each client with the identity of the PLC at that address', async () => {
        for (const plc of expected) {
            const info = await call(clients.get(plc.name), 'GetCpuInfo');
            assert.equal(info.ASName, plc.asName, plc.name);
        }
    });

    it('keeps the same DB apart in two PLCs', async () => {
        const first = clients.get('filler-1');
        const second = clients.get('filler-2');
        await call(first, 'DBWrite', 10, 18, 2, Buffer.from([0x00, 0x05]));
        await call(second, 'DBWrite', 10, 18, 2, Buffer.from([0x00, 0x07]));
        assert.deepEqual([...await call(first, 'DBRead', 10, 18, 2)], [0x00, 0x05]);
        assert.deepEqual([...await call(second, 'DBRead', 10, 18, 2)], [0x00, 0x07]);
        // Each starts from its own row's start values: the palletiser's DB31.
        assert.deepEqual([...await call(clients.get('palletiser'), 'DBRead', 31, 0, 4)],
                         [0x00, 12, 0x00, 8]);
    });

    it('stops one PLC while its neighbour runs on', async () => {
        const stopped = clients.get('filler-3');
        await call(stopped, 'PlcStop');
        assert.equal(await call(stopped, 'PlcStatus'), stopped.S7CpuStatusStop);
        assert.equal(await call(clients.get('filler-4'), 'PlcStatus'),
                     stopped.S7CpuStatusRun);
        await call(stopped, 'PlcHotStart');
        assert.equal(await call(stopped, 'PlcStatus'), stopped.S7CpuStatusRun);
    });

    it('names the PLC in every log line about it', async () => {
        for (let waited = 0; !/-filler-3-\[\d+\] CPU STOP requested/.test(output) && waited < 5000;
             waited += 20) {
            await sleep(20);
        }
        const lines = output.split('\n');
        assert.ok(lines.some((line) => /^\d\d:\d\d:\d\d-filler-3 TCP conn from /.test(line)),
                  output);
        assert.ok(lines.some((line) => /^\d\d:\d\d:\d\d-filler-2-\[\d+\] /.test(line)), output);
        assert.ok(!lines.some((line) => /^\d\d:\d\d:\d\d-\[\d+\]/.test(line)),
                  'no traffic line without its PLC');
    });
});

// nodes7 against plcdouble answering as a real CPU (--cpu s7-300, --cpu s7-1500): BOOL, INT,
// DINT, REAL, flag bits, timers and counters read and written, with exact values, every read and
// write answered at once. Timer and counter writes are refused as a real CPU refuses them.
import assert from 'node:assert/strict';
import { after, before, describe, it } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';

import {
    connect, drop, quickCallLimitMs, quickRead, quickWrite, readAll, timedWrite,
} from './lib/nodes7_async.mjs';
import { host, startServer } from './lib/plc_server.mjs';
import { call, connectClient } from './lib/snap7_async.mjs';

// nodes7 asks for PDU 960 and 8 parallel jobs; the CPU agrees on the smaller figures.
const profiles = [
    { name: 's7-300', slot: 2, pdu: 240, parallelJobs: 1 },
    { name: 's7-1500', slot: 1, pdu: 960, parallelJobs: 8 },
];

for (const profile of profiles) {
    describe(`--cpu ${profile.name}`, () => {
        let server;

        before(async () => {
            server = await startServer({ args: ['--cpu', profile.name] });
        });

        after(async () => {
            const exit = await server.stop();
            assert.deepEqual(exit, { code: 0, signal: null }, `plcdouble log:\n${server.output}`);
        });

        async function withConnection(body, options = {}) {
            const connection = await connect(host, server.port, { slot: profile.slot, ...options });
            try {
                return await body(connection);
            } finally {
                await drop(connection);
            }
        }

        // snap7 sets and checks what nodes7 cannot reach on its own (timers by element number).
        async function withSnap7(body) {
            const client = await connectClient(host, server.port, { slot: profile.slot });
            try {
                return await body(client);
            } finally {
                client.Disconnect();
            }
        }

        it(`connects to slot ${profile.slot} with PDU ${profile.pdu} and ` +
               `${profile.parallelJobs} parallel job(s)`,
           async () => {
               await withConnection(async (connection) => {
                   assert.equal(connection.maxPDU, profile.pdu);
                   assert.equal(connection.maxParallel, profile.parallelJobs);
               });
           });

        it('writes BOOL, INT, DINT, REAL and flag bits and reads them back', async () => {
            await withConnection(async (connection) => {
                assert.equal(await quickWrite(connection, ['DB60,BYTE2', 'MB7'], [0x81, 0x01]),
                             false);
                const values = {
                    'DB60,X2.3': true,
                    'DB60,INT4': -12345,
                    'DB60,DINT6': -2000000000,
                    'DB60,REAL10': 3.5,
                    'M7.6': true,
                };
                const items = Object.keys(values);
                assert.equal(await quickWrite(connection, items, Object.values(values)), false);
                const { anythingBad, values: read } = await quickRead(connection, items);
                assert.equal(anythingBad, false);
                assert.deepEqual(read, values);
                // Big-endian at the addressed bytes; a bit write sets that bit alone.
                const bytes = await quickRead(connection, ['DB60,BYTE2.12', 'MB7']);
                assert.deepEqual(bytes.values, {
                    'DB60,BYTE2.12':
                        [0x89, 0, 0xcf, 0xc7, 0x88, 0xca, 0x6c, 0x00, 0x40, 0x60, 0, 0],
                    MB7: 0x41,
                });

                assert.equal(await quickWrite(connection, ['DB60,X2.0', 'M7.0'], [false, false]),
                             false);
                const bits = await quickRead(connection,
                                             ['DB60,X2.0', 'DB60,X2.3', 'M7.0', 'M7.6', 'MB7']);
                assert.deepEqual(bits.values, {
                    'DB60,X2.0': false,
                    'DB60,X2.3': true,
                    'M7.0': false,
                    'M7.6': true,
                    MB7: 0x40,
                });
            });
        });

        it('moves arrays larger than the PDU in several jobs', async () => {
            await withConnection(async (connection) => {
                const reals = Array.from({ length: 200 }, (_, i) => Math.fround(i * 0.75 - 50));
                const ints = Array.from({ length: 100 }, (_, i) => i * 300 - 15000);
                assert.equal(await quickWrite(connection, ['DB61,REAL0.200', 'DB61,INT800.100'],
                                              [reals, ints]),
                             false);
                const { anythingBad, values } =
                    await quickRead(connection, ['DB61,REAL0.200', 'DB61,INT800.100']);
                assert.equal(anythingBad, false);
                assert.deepEqual(values, { 'DB61,REAL0.200': reals, 'DB61,INT800.100': ints });
            });
        });

        it('reads timers and counters among other items; Tn and Cn address element 8n',
           async () => {
               // nodes7 sends a timer's or counter's number times 8 as its address; the CPU takes
               // the address of a timer or counter as its element number.
               await withSnap7(async (client) => {
                   await call(client, 'TMWrite', 0, 1, Buffer.from([0x12, 0x34]));
                   await call(client, 'TMWrite', 24, 1, Buffer.from([0x00, 0x99]));
                   await call(client, 'CTWrite', 0, 1, Buffer.from([0x00, 0x42]));
                   await call(client, 'CTWrite', 32, 1, Buffer.from([0x01, 0x00]));
               });
               await withConnection(async (connection) => {
                   const { anythingBad, values } = await quickRead(
                       connection, ['T0', 'T3', 'C0', 'C4', 'DB60,INT4', 'M7.6']);
                   assert.equal(anythingBad, false, JSON.stringify(values));
                   assert.deepEqual(values, {
                       T0: 0x1234, T3: 0x0099, C0: 0x0042, C4: 0x0100, 'DB60,INT4': -12345,
                       'M7.6': true,
                   });
               });
           });

        // nodes7 writes a timer or counter with transport size 0x09 and its length in bits (16),
        // so the data item claims 16 bytes where 2 follow. A real CPU refuses such a job with
        // header error 0x81 0x04; nodes7 does not take a header error as an answer: it reports
        // the write bad when its timeout runs out, drops the connection and connects again.
        for (const [item, value, stored] of [['T0', 500, 0x1234], ['C0', 7, 0x0042]]) {
            it(`refuses a ${item} write with header error 0x8104; nodes7 waits for its timeout`,
               async () => {
                   const timeout = 300;
                   await withConnection(async (connection) => {
                       const skip = server.lines().length;
                       const { anythingBad, elapsedMs } = await timedWrite(connection, item, value);
                       assert.equal(anythingBad, true);
                       assert.ok(elapsedMs >= timeout - 5 && elapsedMs < timeout + quickCallLimitMs,
                                 `the refused write reported after ${elapsedMs} ms`);
                       await server.waitForLine(
                           / Refusing Write Var: data items do not add up to 6 bytes$/, { skip });
                       await server.waitForLine(/ TCP Dis-conn /, { skip });
                       // nodes7 connects again by itself; reads work once it has (until then
                       // nodes7 fails them without asking the server).
                       let read;
                       for (let attempt = 0; attempt < 40; attempt++) {
                           connection.removeItems();
                           read = await readAll(connection, [item]);
                           if (!read.anythingBad) {
                               break;
                           }
                           await sleep(50);
                       }
                       assert.deepEqual(read, { anythingBad: false, values: { [item]: stored } });
                   }, { timeout });
               });
        }
    });
}

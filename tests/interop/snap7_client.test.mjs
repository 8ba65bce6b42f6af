// node-snap7's S7Client (the snap7 C++ client in a Node addon) against the real plcdouble binary.
import assert from 'node:assert/strict';
import { after, before, describe, it } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';

import { host, startServer } from './lib/plc_server.mjs';
import { exampleCode, readmeText, runExample } from './lib/run_example.mjs';
import { call, connectClient, errors, rejectsWithCode, snap7 } from './lib/snap7_async.mjs';

// Area and element-size codes of the snap7 API.
const S7AreaDB = 0x84;
const S7WLBit = 0x01;
const S7WLByte = 0x02;
const S7WLWord = 0x04;
const S7WLReal = 0x08;

const negotiatedPduLength = 480;
const freshBlockSize = 256;
const highestDataBlock = 2999;
// A block grows to the end of the range asked for plus 64 bytes and never past 65534 bytes, so
// byte 65469 is the last one an S7 request can reach.
const largestServedEnd = 65534 - 64;

// DB1 and DB15 carry the demo string "Hello there" at byte 128: max length 32, current length 11.
const demoStringOffset = 128;
const demoStringBytes = Buffer.from([32, 11, ...Buffer.from('Hello there', 'latin1')]);

// A byte pattern that differs per block and offset, so a read served from the wrong block or
// the wrong place shows up.
function pattern(length, seed) {
    const bytes = Buffer.alloc(length);
    for (let i = 0; i < length; i++) {
        bytes[i] = (seed * 31 + i * 7 + (i >> 8)) & 0xff;
    }
    return bytes;
}

let server;

before(async () => {
    server = await startServer();
});

after(async () => {
    const exit = await server.stop();
    assert.deepEqual(exit, { code: 0, signal: null }, `plcdouble log:\n${server.output}`);
});

async function withClient(body) {
    const client = await connectClient(host, server.port);
    try {
        return await body(client);
    } finally {
        client.Disconnect();
    }
}

describe('connection', () => {
    it('connects with rack 0, slot 2 and negotiates a 480-byte PDU', async () => {
        await withClient(async (client) => {
            assert.equal(client.Connected(), true);
            assert.equal(client.PDULength(), negotiatedPduLength);
        });
    });

    it('connects with called TSAP 0x03 0x02 as well', async () => {
        const client = new snap7.S7Client();
        client.SetParam(client.RemotePort, server.port);
        assert.equal(client.SetConnectionParams(host, 0x0100, 0x0302), true);
        await call(client, 'Connect');
        try {
            assert.equal(client.PDULength(), negotiatedPduLength);
            const data = await call(client, 'DBRead', 15, demoStringOffset, demoStringBytes.length);
            assert.deepEqual(data, demoStringBytes);
        } finally {
            client.Disconnect();
        }
    });

    it('reconnects at once after Disconnect, several times in a row', async () => {
        const client = new snap7.S7Client();
        client.SetParam(client.RemotePort, server.port);
        try {
            for (let round = 0; round < 5; round++) {
                await call(client, 'ConnectTo', host, 0, 2);
                assert.equal(client.PDULength(), negotiatedPduLength);
                const written = Buffer.from([round, 0xa5, round ^ 0xff]);
                await call(client, 'DBWrite', 40, round * 3, written.length, written);
                assert.deepEqual(await call(client, 'DBRead', 40, round * 3, 3), written);
                assert.equal(client.Disconnect(), true);
                assert.equal(client.Connected(), false);
            }
            // Every round's bytes stayed in the block across the connections.
            const all = await withClient((other) => call(other, 'DBRead', 40, 0, 15));
            for (let round = 0; round < 5; round++) {
                assert.deepEqual(all.subarray(round * 3, round * 3 + 3),
                                 Buffer.from([round, 0xa5, round ^ 0xff]));
            }
        } finally {
            client.Disconnect();
        }
    });

    it('serves two clients at once, refuses a third, and takes one again when a slot frees',
       async () => {
           const start = server.lines().length;
           const first = await connectClient(host, server.port);
           const second = await connectClient(host, server.port);
           try {
               // Both sessions share the data blocks.
               const bytes = Buffer.from([0x11, 0x22, 0x33, 0x44]);
               await call(first, 'DBWrite', 41, 10, bytes.length, bytes);
               assert.deepEqual(await call(second, 'DBRead', 41, 10, 4), bytes);

               const skip = server.lines().length;
               const third = new snap7.S7Client();
               third.SetParam(third.RemotePort, server.port);
               // snap7 notices the reset of a refused connection only when its receive times
               // out (3 s by default); a short timeout keeps the test quick.
               third.SetParam(third.RecvTimeout, 500);
               await assert.rejects(call(third, 'ConnectTo', host, 0, 2));
               assert.equal(third.Connected(), false);
               await server.waitForLine(/Incoming connection denied 2/, { skip });

               // The refusal did not disturb the two sessions.
               assert.deepEqual(await call(first, 'DBRead', 41, 10, 4), bytes);
               assert.deepEqual(await call(second, 'DBRead', 41, 10, 4), bytes);

               first.Disconnect();
               // The server needs a moment to notice the close; retry within a bounded time.
               let connected = false;
               for (let attempt = 0; attempt < 50 && !connected; attempt++) {
                   try {
                       await call(third, 'ConnectTo', host, 0, 2);
                       connected = true;
                   } catch {
                       await sleep(50);
                   }
               }
               assert.equal(connected, true, 'a freed slot takes a new client');
               assert.deepEqual(await call(third, 'DBRead', 41, 10, 4), bytes);
               third.Disconnect();
           } finally {
               first.Disconnect();
               second.Disconnect();
               // Let the server see both go before the next test connects, so that test does
               // not depend on the order in which the server handles a close and a connect.
               await server.waitForLine(/ TCP Dis-conn 0$/, { skip: start });
           }
       });
});

describe('DBRead and DBWrite', () => {
    it('reads a block never used before as zeros', async () => {
        await withClient(async (client) => {
            const data = await call(client, 'DBRead', 100, 0, freshBlockSize);
            assert.deepEqual(data, Buffer.alloc(freshBlockSize));
        });
    });

    it('round trips different data on several blocks without one leaking into another',
       async () => {
           await withClient(async (client) => {
               const blocks = [2, 7, 64, 500, 1234];
               for (const db of blocks) {
                   await call(client, 'DBWrite', db, 16, 40, pattern(40, db));
               }
               for (const db of blocks) {
                   const data = await call(client, 'DBRead', db, 0, 64);
                   assert.deepEqual(data.subarray(0, 16), Buffer.alloc(16), `DB${db} head`);
                   assert.deepEqual(data.subarray(16, 56), pattern(40, db), `DB${db} written`);
                   assert.deepEqual(data.subarray(56), Buffer.alloc(8), `DB${db} tail`);
               }
           });
       });

    it('grows a block when a write goes past its end', async () => {
        await withClient(async (client) => {
            const written = pattern(10, 101);
            await call(client, 'DBWrite', 101, 300, written.length, written);
            const data = await call(client, 'DBRead', 101, 290, 30);
            assert.deepEqual(data, Buffer.concat([Buffer.alloc(10), written, Buffer.alloc(10)]));
        });
    });

    it('moves data larger than one PDU in several jobs, each at the right offset', async () => {
        await withClient(async (client) => {
            const written = pattern(2000, 102);
            await call(client, 'DBWrite', 102, 3, written.length, written);
            const data = await call(client, 'DBRead', 102, 3, written.length);
            assert.deepEqual(data, written);
        });
    });

    it('serves DB 2999 and reports DB 3000 as an item that does not exist', async () => {
        await withClient(async (client) => {
            const written = Buffer.from([0xde, 0xad, 0xbe, 0xef]);
            await call(client, 'DBWrite', highestDataBlock, 0, 4, written);
            assert.deepEqual(await call(client, 'DBRead', highestDataBlock, 0, 4), written);

            await rejectsWithCode(assert, call(client, 'DBRead', highestDataBlock + 1, 0, 4),
                                  errors.itemNotAvailable);
            await rejectsWithCode(assert,
                                  call(client, 'DBWrite', highestDataBlock + 1, 0, 4, written),
                                  errors.itemNotAvailable);
            // The session goes on after the refused items.
            assert.deepEqual(await call(client, 'DBRead', highestDataBlock, 0, 4), written);
        });
    });

    it('refuses a range whose block, with its growth slack, would pass 65534 bytes', async () => {
        await withClient(async (client) => {
            const written = Buffer.from([1, 2, 3, 4]);
            await call(client, 'DBWrite', 103, largestServedEnd - 4, 4, written);
            assert.deepEqual(await call(client, 'DBRead', 103, largestServedEnd - 4, 4), written);

            await rejectsWithCode(assert, call(client, 'DBRead', 103, largestServedEnd - 4, 5),
                                  errors.addressOutOfRange);
            await rejectsWithCode(assert, call(client, 'DBRead', 103, largestServedEnd, 1),
                                  errors.addressOutOfRange);
            await rejectsWithCode(
                assert, call(client, 'DBWrite', 103, largestServedEnd - 1, 2, Buffer.from([9, 9])),
                errors.addressOutOfRange);
            // The refused write left the last served bytes alone.
            assert.deepEqual(await call(client, 'DBRead', 103, largestServedEnd - 4, 4), written);
        });
    });
});

describe('ReadMultiVars and WriteMultiVars', () => {
    const item = (db, start, data) => ({
        Area: S7AreaDB,
        WordLen: S7WLByte,
        DBNumber: db,
        Start: start,
        Amount: data.length,
        Data: data,
    });

    it('writes and reads back several items of odd and even sizes in one job each', async () => {
        await withClient(async (client) => {
            const items = [
                item(200, 0, pattern(3, 1)),
                item(201, 5, pattern(4, 2)),
                item(200, 9, pattern(1, 3)),
                item(202, 100, pattern(7, 4)),
                item(201, 50, pattern(10, 5)),
            ];
            const writeResults = await call(client, 'WriteMultiVars', items);
            assert.deepEqual(writeResults.map((r) => r.Result), [0, 0, 0, 0, 0]);

            const reads = items.map(({ Data, ...rest }) => rest);
            const readResults = await call(client, 'ReadMultiVars', reads);
            assert.equal(readResults.length, items.length);
            readResults.forEach((result, i) => {
                assert.equal(result.Result, 0, `item ${i}`);
                assert.deepEqual(result.Data, items[i].Data, `item ${i}`);
            });
            // The odd-sized first item did not spill into its neighbour at byte 9 of DB200.
            const between = await call(client, 'DBRead', 200, 0, 10);
            assert.deepEqual(between,
                             Buffer.concat([pattern(3, 1), Buffer.alloc(6), pattern(1, 3)]));
        });
    });

    it('reads the 20 items snap7 allows in one job, each one byte', async () => {
        await withClient(async (client) => {
            const items =
                Array.from({ length: 20 }, (_, i) => item(210 + i, i, Buffer.from([i + 1])));
            const writeResults = await call(client, 'WriteMultiVars', items);
            assert.deepEqual(writeResults.map((r) => r.Result), Array(20).fill(0));
            const reads = items.map(({ Data, ...rest }) => rest);
            const results = await call(client, 'ReadMultiVars', reads);
            assert.deepEqual(results.map((r) => [r.Result, ...r.Data]),
                             items.map((_, i) => [0, i + 1]));
        });
    });

    it('reports a result per item: a missing block fails alone', async () => {
        await withClient(async (client) => {
            const good = pattern(5, 9);
            await call(client, 'DBWrite', 203, 0, good.length, good);
            const results = await call(client, 'ReadMultiVars', [
                { Area: S7AreaDB, WordLen: S7WLByte, DBNumber: 203, Start: 0, Amount: 5 },
                { Area: S7AreaDB, WordLen: S7WLByte, DBNumber: 3000, Start: 0, Amount: 4 },
                {
                    Area: S7AreaDB, WordLen: S7WLByte, DBNumber: 15, Start: demoStringOffset,
                    Amount: 13,
                },
            ]);
            assert.equal(results[0].Result, 0);
            assert.deepEqual(results[0].Data, good);
            assert.equal(results[1].Result.toString(16), errors.itemNotAvailable.toString(16));
            assert.equal(results[2].Result, 0);
            assert.deepEqual(results[2].Data, demoStringBytes);
        });
    });
});

describe('demo data in DB1 and DB15', () => {
    it('holds "Hello there" as an S7 string at byte 128 of both blocks', async () => {
        await withClient(async (client) => {
            for (const db of [1, 15]) {
                const data = await call(client, 'DBRead', db, demoStringOffset, 34);
                assert.deepEqual(data.subarray(0, demoStringBytes.length), demoStringBytes,
                                 `DB${db}`);
            }
        });
    });

    it('counts DB15 word 0 up every tick (little-endian)', async () => {
        await withClient(async (client) => {
            const first = (await call(client, 'DBRead', 15, 0, 2)).readUInt16LE(0);
            await sleep(200);
            const second = (await call(client, 'DBRead', 15, 0, 2)).readUInt16LE(0);
            const ticks = (second - first + 0x10000) % 0x10000;
            // 200 ms at 10 ms a tick; generous bounds for a loaded machine.
            assert.ok(ticks >= 5 && ticks <= 1000, `DB15 counter moved by ${ticks}`);
        });
    });

    it('moves DB1 bytes 2-3 (big-endian) within 0..100', async () => {
        await withClient(async (client) => {
            const seen = new Set();
            const deadline = Date.now() + 5000;
            while (seen.size < 2 && Date.now() < deadline) {
                const value = (await call(client, 'DBRead', 1, 2, 2)).readUInt16BE(0);
                assert.ok(value <= 100, `DB1 bytes 2-3 hold ${value}`);
                seen.add(value);
                await sleep(20);
            }
            assert.ok(seen.size >= 2, `DB1 bytes 2-3 stayed at ${[...seen]}`);
        });
    });
});

// What snap7 can do against a real controller but not against plcdouble; README lists these
// under "Differences from a real controller".
describe('documented differences', () => {
    it('accepts any rack and slot', async () => {
        for (const [rack, slot] of [[0, 1], [1, 3]]) {
            const client = new snap7.S7Client();
            client.SetParam(client.RemotePort, server.port);
            await call(client, 'ConnectTo', host, rack, slot);
            try {
                assert.equal(client.PDULength(), negotiatedPduLength);
            } finally {
                client.Disconnect();
            }
        }
    });

    it('serves inputs, outputs and flags from DB0', async () => {
        await withClient(async (client) => {
            const stored = Buffer.from([0x31, 0x32, 0x33]);
            await call(client, 'DBWrite', 0, 4, stored.length, stored);
            for (const method of ['EBRead', 'ABRead', 'MBRead']) {
                assert.deepEqual(await call(client, method, 4, 3), stored, method);
            }
        });
    });

    it('offers 480 bytes to a client that asks for a smaller PDU, and snap7 takes it', async () => {
        const client = new snap7.S7Client();
        client.SetParam(client.RemotePort, server.port);
        client.SetParam(client.PDURequest, 240);
        await call(client, 'ConnectTo', host, 0, 2);
        try {
            assert.equal(client.PDURequested(), 240);
            assert.equal(client.PDULength(), negotiatedPduLength);
            const skip = server.lines().length;
            const written = pattern(462, 104);
            await call(client, 'DBWrite', 104, 0, written.length, written);
            // One job of 462 data bytes: only fits a 480-byte PDU.
            assert.deepEqual(await call(client, 'DBRead', 104, 0, written.length), written);
            await server.waitForLine(/^\(0\).* Sending S7 data DB104,0 l=462$/, { skip });
        } finally {
            client.Disconnect();
        }
    });

    it('refuses bit and real writes (only byte/word/dword data is stored)', async () => {
        await withClient(async (client) => {
            const before = Buffer.from([0x0f, 0x0f, 0x0f, 0x0f]);
            await call(client, 'DBWrite', 300, 0, 4, before);
            const skip = server.lines().length;
            await rejectsWithCode(
                assert,
                call(client, 'WriteArea', S7AreaDB, 300, 0, 1, S7WLBit, Buffer.from([1])),
                errors.functionRefused);
            await rejectsWithCode(
                assert,
                call(client, 'WriteArea', S7AreaDB, 300, 0, 1, S7WLReal, Buffer.alloc(4, 0x40)),
                errors.functionRefused);
            await server.waitForLines(/ Bad Write data DB300,0 /, 2, { skip });
            assert.deepEqual(await call(client, 'DBRead', 300, 0, 4), before);
            // Words travel as byte data, so they are stored.
            const words = Buffer.from([0x12, 0x34, 0x56, 0x78]);
            await call(client, 'WriteArea', S7AreaDB, 300, 0, 2, S7WLWord, words);
            assert.deepEqual(await call(client, 'DBRead', 300, 0, 4), words);
        });
    });

    it('serves as many bytes as elements asked for, whatever their size', async () => {
        await withClient(async (client) => {
            const stored = Buffer.from([0xa5, 0x5a, 0xc3, 0x3c]);
            await call(client, 'DBWrite', 301, 0, 4, stored);
            const skip = server.lines().length;
            // Two words: a controller sends 4 bytes, plcdouble 2. snap7 does not check the
            // length and hands back a 4-byte buffer whose last two bytes are not from the server.
            const words = await call(client, 'ReadArea', S7AreaDB, 301, 0, 2, S7WLWord);
            assert.deepEqual(words.subarray(0, 2), stored.subarray(0, 2));
            await server.waitForLine(/^\(0\).* Sending S7 data DB301,0 l=2$/, { skip });
        });
    });

    it('answers a bit read with the whole byte that holds the bit', async () => {
        await withClient(async (client) => {
            await call(client, 'DBWrite', 302, 0, 1, Buffer.from([0xa5]));
            // Bit 1 of byte 0 is 0; a controller answers 0x00, plcdouble the byte.
            const bit = await call(client, 'ReadArea', S7AreaDB, 302, 1, 1, S7WLBit);
            assert.deepEqual(bit, Buffer.from([0xa5]));
        });
    });

    it('serves a multi-item read whose reply is larger than the negotiated PDU', async () => {
        await withClient(async (client) => {
            const items = [303, 304].map((db) => ({
                Area: S7AreaDB, WordLen: S7WLByte, DBNumber: db, Start: 0, Amount: 300,
            }));
            const results = await call(client, 'ReadMultiVars', items);
            assert.deepEqual(results.map((r) => [r.Result, r.Data.length]), [[0, 300], [0, 300]]);
        });
    });

    it('never answers user-data requests or jobs other than Read Var and Write Var', async () => {
        await withClient(async (client) => {
            client.SetParam(client.RecvTimeout, 300);
            const skip = server.lines().length;
            for (const method of ['PlcStatus', 'GetCpuInfo', 'PlcStop']) {
                await assert.rejects(call(client, method), (error) => {
                    // snap7's receive timed out: an ISO receive error.
                    assert.equal((error.code & 0x000f0000).toString(16), 'a0000', error.message);
                    return true;
                });
                assert.equal(client.Connected(), true);
            }
            await server.waitForLine(/ received data msg ht=7 cmd=0$/, { skip });
            await server.waitForLine(/ Unknown command 41$/, { skip }); // PLC stop, 0x29
            // Nothing arrives late: the session stays in step.
            await sleep(100);
            assert.deepEqual(await call(client, 'DBRead', 15, demoStringOffset, 13),
                             demoStringBytes);
        });
    });
});

describe('README example', () => {
    it('is the code README.md shows', () => {
        assert.ok(readmeText().includes('```js\n' + exampleCode('snap7_read.js') + '\n```'),
                  'README.md shows tests/interop/examples/snap7_read.js as it is');
    });

    it('connects and prints the negotiated PDU and the demo string', async () => {
        assert.equal(await runExample('snap7_read.js', server.port),
                     'PDU length 480\nHello there\n');
    });
});

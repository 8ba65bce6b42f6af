// node-snap7 against plcdouble started from the shipped example configuration (examples/plc.toml:
// a strict S7-1500 with typed start values and its own identity). The port and address given on
// the command line win over the file's.
import assert from 'node:assert/strict';
import { fileURLToPath } from 'node:url';
import { after, before, describe, it } from 'node:test';

import { host, startServer } from './lib/plc_server.mjs';
import { call, errors, rejectsWithCode, snap7 } from './lib/snap7_async.mjs';

const exampleFile = fileURLToPath(new URL('../../examples/plc.toml', import.meta.url));

// The example's blocks and their declared sizes.
const declaredBlocks = [
    { number: 10, size: 64 },
    { number: 20, size: 16 },
    { number: 30, size: 12 },
    { number: 40, size: 32 },
];

let server;

before(async () => {
    server = await startServer({ args: ['--config', exampleFile] });
});

after(async () => {
    const exit = await server.stop();
    assert.deepEqual(exit, { code: 0, signal: null }, `plcdouble log:\n${server.output}`);
});

// An S7-1500 sits in slot 1 of rack 0.
async function withClient(body) {
    const client = new snap7.S7Client();
    client.SetParam(client.RemotePort, server.port);
    await call(client, 'ConnectTo', host, 0, 1);
    try {
        return await body(client);
    } finally {
        client.Disconnect();
    }
}

describe('a server started from examples/plc.toml', () => {
    it('serves on the port the command line gives, not the file\'s', async () => {
        assert.notEqual(server.port, 1102);
        await server.waitForLine(/^Configuration .*plc\.toml: 4 data blocks declared, strict, no demo$/);
    });

    it('holds the typed start values, big-endian as S7 keeps them', async () => {
        await withClient(async (client) => {
            const recipe = await call(client, 'DBRead', 10, 0, 33);
            assert.equal(recipe[0], 20); // STRING[20]: maximum length
            assert.equal(recipe[1], 16); // current length
            assert.equal(recipe.toString('latin1', 2, 18), 'Orange juice 1 l');
            assert.equal(recipe.readFloatBE(22), 1.0);
            assert.equal(recipe.readFloatBE(26), Math.fround(0.005));
            assert.equal(recipe.readInt16BE(30), 12);
            assert.equal(recipe[32], 0x01); // DBX32.0

            const conveyor = await call(client, 'DBRead', 20, 0, 16);
            assert.equal(conveyor.readFloatBE(0), 0.75);
            assert.equal(conveyor[4], 0x01); // running, no fault
            assert.equal(conveyor.readInt16BE(8), -3);

            const counters = await call(client, 'DBRead', 30, 0, 12);
            assert.deepEqual([counters.readInt32BE(0), counters.readInt32BE(4),
                              counters.readInt32BE(8)], [12345, 42, -1]);

            const weights = await call(client, 'DBRead', 40, 0, 32);
            assert.equal(weights.readFloatBE(0), Math.fround(0.502));
            assert.equal(weights.readFloatBE(28), Math.fround(0.502));
        });
    });

    it('serves each block exactly up to its declared end and no further', async () => {
        await withClient(async (client) => {
            for (const { number, size } of declaredBlocks) {
                const last = await call(client, 'DBRead', number, size - 4, 4);
                assert.equal(last.length, 4, `DB${number}`);
                await rejectsWithCode(assert, call(client, 'DBRead', number, size - 3, 4),
                                      errors.addressOutOfRange);
                await rejectsWithCode(assert, call(client, 'DBRead', number, size, 1),
                                      errors.addressOutOfRange);
            }
            const bytes = Buffer.from([0xa5, 0x5a]);
            await call(client, 'DBWrite', 20, 14, 2, bytes);
            await rejectsWithCode(assert, call(client, 'DBWrite', 20, 15, 2, bytes),
                                  errors.addressOutOfRange);
            // The refused write left the block as it was: same size, same last bytes.
            assert.deepEqual(await call(client, 'DBRead', 20, 14, 2), bytes);
            await rejectsWithCode(assert, call(client, 'DBRead', 20, 16, 1),
                                  errors.addressOutOfRange);
        });
    });

    it('answers "object does not exist" for every block it does not declare', async () => {
        await withClient(async (client) => {
            for (const number of [1, 2, 11, 15, 2999]) {
                await rejectsWithCode(assert, call(client, 'DBRead', number, 0, 1),
                                      errors.itemNotAvailable);
            }
            await rejectsWithCode(assert, call(client, 'DBWrite', 11, 0, 1, Buffer.from([1])),
                                  errors.itemNotAvailable);
            // Nor did the write create it.
            await rejectsWithCode(assert, call(client, 'DBRead', 11, 0, 1),
                                  errors.itemNotAvailable);
        });
    });

    it('reports the configured identity', async () => {
        await withClient(async (client) => {
            const info = await call(client, 'GetCpuInfo');
            assert.equal(info.ASName, 'FILLER-01');
            assert.equal(info.ModuleName, 'Filling line 1');
            assert.equal(info.SerialNumber, 'S V-L1F0001');
            assert.equal(info.ModuleTypeName, 'CPU 1516-3 PN/DP'); // the profile's, not configured
            const order = await call(client, 'GetOrderCode');
            assert.equal(order.Code.trim(), '6ES7 516-3AN02-0AB0');
        });
    });
});

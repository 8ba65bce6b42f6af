// Fault rules against node-snap7: what each action makes the client report, in classic and as a
// real CPU; delays that hold only the delayed connection; exact after/every counting; the same
// seed giving the same faults twice.
import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import { performance } from 'node:perf_hooks';

import { host, startServer } from './lib/plc_server.mjs';
import { call, errors, quickCall, snap7 } from './lib/snap7_async.mjs';

const S7AreaDB = 0x84;
const S7WLByte = 0x02;
const timeoutMs = 400;

async function withServer(args, body) {
    const server = await startServer({ args });
    try {
        return await body(server);
    } finally {
        await server.stop();
    }
}

async function connect(server, { recvTimeout = timeoutMs } = {}) {
    const client = new snap7.S7Client();
    client.SetParam(client.RemotePort, server.port);
    client.SetParam(client.RecvTimeout, recvTimeout);
    await call(client, 'ConnectTo', host, 0, 2);
    return client;
}

// The snap7 code a call ends with: 0 when it succeeded.
async function outcome(promise) {
    try {
        await promise;
        return 0;
    } catch (error) {
        return error.code;
    }
}

const readDb = (client, db, start = 0, size = 4) =>
    call(client, 'ReadArea', S7AreaDB, db, start, size, S7WLByte);
const writeDb = (client, db, start, bytes) =>
    call(client, 'WriteArea', S7AreaDB, db, start, bytes.length, S7WLByte, Buffer.from(bytes));

for (const cpu of ['classic', 's7-300']) {
    const cpuArgs = cpu === 'classic' ? [] : ['--cpu', cpu];

    describe(`fault actions (${cpu})`, () => {
        // What the client's call reports while the rule is in force, and the log line naming it.
        const cases = [
            {
                rule: 'on=read,area=DB5,item_code=0x0A',
                act: (client) => readDb(client, 5),
                code: errors.itemNotAvailable,
                fired: 'Fault 1 fired: item code 0x0A on read DB5',
            },
            {
                rule: 'on=read,area=DB5,start=8,end=10,item_code=0x05',
                act: (client) => readDb(client, 5, 9, 4),
                code: errors.addressOutOfRange,
                fired: 'Fault 1 fired: item code 0x05 on read DB5',
            },
            {
                rule: 'on=write,header_error=0x8104',
                act: (client) => writeDb(client, 5, 0, [1, 2]),
                code: errors.functionNotAvailable,
                fired: 'Fault 1 fired: header error 0x8104 on write DB5',
            },
            {
                rule: 'on=read,header_error=0x8500',
                act: (client) => readDb(client, 5),
                code: errors.functionRefused, // how snap7 reports 0x8500
                fired: 'Fault 1 fired: header error 0x8500 on read DB5',
            },
            {
                rule: 'on=read,no_reply=true',
                act: (client) => readDb(client, 5),
                code: 0x000a006e, // a receive error: timed out (ETIMEDOUT)
                fired: 'Fault 1 fired: no reply on read DB5',
            },
        ];
        for (const { rule, act, code, fired } of cases) {
            it(`${rule} -> 0x${code.toString(16)}`, () =>
                withServer([...cpuArgs, '--fault', rule], async (server) => {
                    const client = await connect(server);
                    try {
                        assert.equal((await outcome(act(client))).toString(16), code.toString(16));
                        await server.waitForLine(new RegExp(fired.replace(/[()]/g, '\\$&')));
                    } finally {
                        client.Disconnect();
                    }
                }));
        }

        it('item codes hit only the matching items of a mixed job; a refused write stores nothing',
           () => withServer([...cpuArgs, '--fault', 'area=DB5,item_code=0x0A'], async (server) => {
               const client = await connect(server);
               try {
                   await writeDb(client, 6, 0, [0x11, 0x22]);
                   const items = [5, 6, 5].map((db) => ({
                       Area: S7AreaDB, WordLen: S7WLByte, DBNumber: db, Start: 0, Amount: 2,
                   }));
                   const results = await quickCall(client, 'ReadMultiVars', items);
                   assert.deepEqual(results.map((item) => item.Result),
                                    [errors.itemNotAvailable, 0, errors.itemNotAvailable]);
                   assert.deepEqual([...results[1].Data], [0x11, 0x22]);
                   assert.equal(await outcome(writeDb(client, 5, 0, [7])), errors.itemNotAvailable);
               } finally {
                   client.Disconnect();
               }
           }));

        it('a close drops the connection in the middle of the job', () =>
            withServer([...cpuArgs, '--fault', 'on=read,area=DB5,close=true'], async (server) => {
                // The server resets the connection at once; snap7 notices the reset or, when it
                // was already waiting, its receive times out.
                const client = await connect(server);
                assert.notEqual(await outcome(readDb(client, 5)), 0);
                await server.waitForLine(/Fault 1 fired: close on read DB5/);
                await server.waitForLine(/TCP Dis-conn 0/);
                assert.notEqual(await outcome(readDb(client, 6)), 0, 'the connection is gone');
            }));

        it('a refused connect fails the client\'s connect', () =>
            withServer([...cpuArgs, '--fault', 'on=connect,refuse=true,after=1'], async (server) => {
                const first = await connect(server); // after=1: the first one gets through
                first.Disconnect();
                await assert.rejects(connect(server));
                await server.waitForLine(/Fault 1 fired: refuse on connect from 127\.0\.0\.1/);
            }));
    });
}

describe('fault timing and counting', () => {
    it('a delay holds only its own connection; the other answers at once', () =>
        withServer(['--cpu', 's7-300', '--fault', 'on=read,area=DB6,delay_ms=300'],
                   async (server) => {
                       const slow = await connect(server, { recvTimeout: 2000 });
                       const fast = await connect(server);
                       try {
                           const started = performance.now();
                           const delayed = readDb(slow, 6).then(() => performance.now() - started);
                           const quick = [];
                           for (let i = 0; i < 5; i++) {
                               const t = performance.now();
                               await readDb(fast, 7);
                               quick.push(performance.now() - t);
                           }
                           const waited = await delayed;
                           assert.ok(waited >= 295 && waited < 600, `delayed read took ${waited} ms`);
                           assert.ok(Math.max(...quick) < 50, `other reads took ${quick}`);
                           // The delayed connection's next request waits its turn and is delayed too.
                           const again = performance.now();
                           await readDb(slow, 6);
                           assert.ok(performance.now() - again >= 295);
                       } finally {
                           slow.Disconnect();
                           fast.Disconnect();
                       }
                   }));

    it('after=2,every=3 skips two matching requests, then fires on every third: 5th and 8th', () =>
        withServer(['--fault', 'on=read,area=DB5,after=2,every=3,item_code=0x0A'],
                   async (server) => {
                       const client = await connect(server);
                       try {
                           const fired = [];
                           for (let i = 1; i <= 10; i++) {
                               await readDb(client, 6); // another block: not counted
                               if ((await outcome(readDb(client, 5))) !== 0) {
                                   fired.push(i);
                               }
                           }
                           assert.deepEqual(fired, [5, 8]);
                       } finally {
                           client.Disconnect();
                       }
                   }));

    it('the same seed gives the same faults; another seed others', async () => {
        const run = (seed) =>
            withServer(['--seed', String(seed), '--fault', 'on=read,probability=0.5,item_code=0x0A'],
                       async (server) => {
                           const client = await connect(server);
                           try {
                               let pattern = '';
                               for (let i = 0; i < 24; i++) {
                                   pattern += (await outcome(readDb(client, 5))) === 0 ? '.' : 'F';
                               }
                               return pattern;
                           } finally {
                               client.Disconnect();
                           }
                       });
        const first = await run(7);
        assert.equal(await run(7), first);
        assert.notEqual(await run(8), first);
        assert.match(first, /F/);
        assert.match(first, /\./);
    });
});

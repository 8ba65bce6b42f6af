// node-snap7's S7Client against plcdouble answering as a real CPU (--cpu s7-300, --cpu s7-1500):
// every word length on every area, multi-item jobs, the CPU's identity, state, clock and block
// lists, and the refusals. Every call must be answered at once (quickCall), with exact values.
import assert from 'node:assert/strict';
import { after, before, describe, it } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';

import { host, startServer } from './lib/plc_server.mjs';
import { errors, quickCall, rejectsWithCode, snap7 } from './lib/snap7_async.mjs';

// Area and word-length codes of the snap7 API.
const S7AreaPE = 0x81;
const S7AreaPA = 0x82;
const S7AreaMK = 0x83;
const S7AreaDB = 0x84;
const S7AreaCT = 0x1c;
const S7AreaTM = 0x1d;
const S7WLBit = 0x01;
const S7WLByte = 0x02;
const S7WLWord = 0x04;
const S7WLDWord = 0x06;
const S7WLReal = 0x08;
const S7WLCounter = 0x1c;
const S7WLTimer = 0x1d;
const S7CpuStatusRun = 0x08;
const S7CpuStatusStop = 0x04;

// What each CPU answers. snap7 asks for a 480-byte PDU unless told otherwise.
const profiles = [
    {
        name: 's7-300',
        slots: [2],
        refused: [[0, 1], [0, 3], [1, 2]], // rack, slot
        largestPdu: 240,
        connections: 16,
        imageBytes: 2048,
        flagBytes: 2048,
        timers: 256,
        counters: 256,
        cpuInfo: {
            ModuleTypeName: 'CPU 315-2 PN/DP',
            SerialNumber: 'S C-PD3157102026',
            ASName: 'plcdouble S7-300',
            Copyright: 'Original Siemens Equipment',
            ModuleName: 'CPU 315-2 PN/DP',
        },
        // The order number is 19 characters in a 20-character field padded with a blank.
        orderCode: { Code: '6ES7 315-2EH14-0AB0 ', V1: 3, V2: 2, V3: 6 },
    },
    {
        name: 's7-1500',
        slots: [1, 0],
        refused: [[0, 2], [0, 3], [1, 1]],
        largestPdu: 960,
        connections: 64,
        imageBytes: 32768,
        flagBytes: 16384,
        timers: 2048,
        counters: 2048,
        cpuInfo: {
            ModuleTypeName: 'CPU 1516-3 PN/DP',
            SerialNumber: 'S V-PD15167102026',
            ASName: 'plcdouble S7-1500',
            Copyright: 'Original Siemens Equipment',
            ModuleName: 'CPU 1516-3 PN/DP',
        },
        orderCode: { Code: '6ES7 516-3AN02-0AB0 ', V1: 2, V2: 9, V3: 4 },
    },
];

// Data blocks reach byte 65469 (a block grows to the end asked for plus 64 bytes, at most 65534).
const lastDataBlockByte = 65534 - 64 - 1;

// A byte pattern that differs per seed and offset.
function pattern(length, seed) {
    const bytes = Buffer.alloc(length);
    for (let i = 0; i < length; i++) {
        bytes[i] = (seed * 31 + i * 7 + (i >> 8) + 1) & 0xff;
    }
    return bytes;
}

function reals(...values) {
    const bytes = Buffer.alloc(4 * values.length);
    values.forEach((value, i) => bytes.writeFloatBE(value, 4 * i));
    return bytes;
}

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

        async function withClient(body, { slot = profile.slots[0], pduRequest } = {}) {
            const client = new snap7.S7Client();
            client.SetParam(client.RemotePort, server.port);
            if (pduRequest !== undefined) {
                client.SetParam(client.PDURequest, pduRequest);
            }
            await quickCall(client, 'ConnectTo', host, 0, slot);
            try {
                return await body(client);
            } finally {
                client.Disconnect();
            }
        }

        describe('connection', () => {
            it(`accepts rack 0, slot ${profile.slots.join(' or ')}, and refuses the others`,
               async () => {
                   for (const slot of profile.slots) {
                       await withClient(async (client) => {
                           assert.equal(client.Connected(), true);
                           assert.deepEqual(await quickCall(client, 'MBRead', 0, 1),
                                            Buffer.alloc(1));
                       }, { slot });
                   }
                   for (const [rack, slot] of profile.refused) {
                       const skip = server.lines().length;
                       const client = new snap7.S7Client();
                       client.SetParam(client.RemotePort, server.port);
                       await rejectsWithCode(assert,
                                             quickCall(client, 'ConnectTo', host, rack, slot),
                                             errors.isoInvalidPdu);
                       assert.equal(client.Connected(), false);
                       await server.waitForLine(
                           new RegExp(` Refusing connect to rack ${rack} slot ${slot} `), { skip });
                   }
               });

            it(`agrees on the smaller PDU: asked 240, 480, 960 -> at most ${profile.largestPdu}`,
               async () => {
                   for (const asked of [240, 480, 960]) {
                       await withClient(async (client) => {
                           const pdu = client.PDULength();
                           assert.equal(pdu, Math.min(asked, profile.largestPdu));
                           // Jobs and replies of the full agreed size go through.
                           const data = pattern(2 * pdu + 100, asked);
                           await quickCall(client, 'DBWrite', 25, 0, data.length, data);
                           assert.deepEqual(await quickCall(client, 'DBRead', 25, 0, data.length),
                                            data);
                       }, { pduRequest: asked });
                   }
               });
        });

        describe('ReadArea and WriteArea, every word length', () => {
            // Each area once with each word length; DB 20 stands for the data blocks.
            const areas = [
                { label: 'DB20', area: S7AreaDB, db: 20 },
                { label: 'M', area: S7AreaMK, db: 0 },
                { label: 'I', area: S7AreaPE, db: 0 },
                { label: 'Q', area: S7AreaPA, db: 0 },
            ];
            for (const { label, area, db } of areas) {
                it(`${label}: bytes, words, double words and reals take their full size`,
                   async () => {
                       await withClient(async (client) => {
                           const cases = [
                               { wordLength: S7WLByte, start: 11, amount: 5, data: pattern(5, 1) },
                               { wordLength: S7WLWord, start: 20, amount: 3, data: pattern(6, 2) },
                               { wordLength: S7WLDWord, start: 30, amount: 2, data: pattern(8, 3) },
                               {
                                   wordLength: S7WLReal, start: 40, amount: 2,
                                   data: reals(3.25, Math.fround(-1.0e-3)),
                               },
                           ];
                           for (const { wordLength, start, amount, data } of cases) {
                               await quickCall(client, 'WriteArea', area, db, start, amount,
                                               wordLength, data);
                               const read = await quickCall(client, 'ReadArea', area, db, start,
                                                            amount, wordLength);
                               assert.deepEqual(read, data, `word length ${wordLength}`);
                           }
                           // The elements landed at their byte offsets, nothing in between.
                           const bytes =
                               await quickCall(client, 'ReadArea', area, db, 10, 38, S7WLByte);
                           assert.deepEqual(bytes, Buffer.concat([
                               Buffer.alloc(1), pattern(5, 1), Buffer.alloc(4), pattern(6, 2),
                               Buffer.alloc(4), pattern(8, 3), Buffer.alloc(2),
                               reals(3.25, Math.fround(-1.0e-3)),
                           ]));
                       });
                   });

                it(`${label}: a bit write changes that one bit, a bit read answers 0 or 1`,
                   async () => {
                       await withClient(async (client) => {
                           const at = 50 * 8;
                           await quickCall(client, 'WriteArea', area, db, 50, 1, S7WLByte,
                                           Buffer.from([0xa5]));
                           await quickCall(client, 'WriteArea', area, db, at + 1, 1, S7WLBit,
                                           Buffer.from([1]));
                           await quickCall(client, 'WriteArea', area, db, at + 7, 1, S7WLBit,
                                           Buffer.from([0]));
                           assert.deepEqual(
                               await quickCall(client, 'ReadArea', area, db, 50, 1, S7WLByte),
                               Buffer.from([0x27]));
                           const bits = [];
                           for (let bit = 0; bit < 8; bit++) {
                               const read = await quickCall(client, 'ReadArea', area, db, at + bit,
                                                            1, S7WLBit);
                               bits.push(...read);
                           }
                           assert.deepEqual(bits, [1, 1, 1, 0, 0, 1, 0, 0]);
                       });
                   });
            }

            it('words and reals beyond one PDU: snap7 splits them, each job at its offset',
               async () => {
                   await withClient(async (client) => {
                       const data = pattern(4 * 150, 4);
                       await quickCall(client, 'WriteArea', S7AreaDB, 24, 2, 150, S7WLReal, data);
                       assert.deepEqual(
                           await quickCall(client, 'ReadArea', S7AreaDB, 24, 2, 300, S7WLWord),
                           data);
                       assert.deepEqual(
                           await quickCall(client, 'ReadArea', S7AreaDB, 24, 2, 150, S7WLDWord),
                           data);
                       assert.deepEqual(await quickCall(client, 'DBRead', 24, 0, 604),
                                        Buffer.concat([Buffer.alloc(2), data, Buffer.alloc(2)]));
                   });
               });

            it('timers and counters: two bytes per element, each area on its own', async () => {
                await withClient(async (client) => {
                    const timers = Buffer.from([0x12, 0x34, 0x00, 0x10, 0x29, 0x99]);
                    const counters = Buffer.from([0x00, 0x42, 0x09, 0x99, 0x01, 0x00]);
                    await quickCall(client, 'WriteArea', S7AreaTM, 0, 5, 3, S7WLTimer, timers);
                    await quickCall(client, 'WriteArea', S7AreaCT, 0, 5, 3, S7WLCounter, counters);
                    assert.deepEqual(
                        await quickCall(client, 'ReadArea', S7AreaTM, 0, 5, 3, S7WLTimer), timers);
                    assert.deepEqual(
                        await quickCall(client, 'ReadArea', S7AreaCT, 0, 5, 3, S7WLCounter),
                        counters);
                    // Element 6 is bytes 2-3 of what was written at 5.
                    assert.deepEqual(await quickCall(client, 'TMRead', 6, 1),
                                     timers.subarray(2, 4));
                    assert.deepEqual(await quickCall(client, 'CTRead', 4, 2),
                                     Buffer.concat([Buffer.alloc(2), counters.subarray(0, 2)]));
                });
            });
        });

        describe('MBRead, EBRead, ABRead and their writes', () => {
            it('keeps flags, inputs, outputs and data blocks apart', async () => {
                await withClient(async (client) => {
                    await quickCall(client, 'MBWrite', 100, 4, Buffer.from([1, 2, 3, 4]));
                    await quickCall(client, 'EBWrite', 100, 4, Buffer.from([5, 6, 7, 8]));
                    await quickCall(client, 'ABWrite', 100, 4, Buffer.from([9, 10, 11, 12]));
                    await quickCall(client, 'DBWrite', 21, 100, 4, Buffer.from([13, 14, 15, 16]));
                    assert.deepEqual(await quickCall(client, 'MBRead', 100, 4),
                                     Buffer.from([1, 2, 3, 4]));
                    assert.deepEqual(await quickCall(client, 'EBRead', 100, 4),
                                     Buffer.from([5, 6, 7, 8]));
                    assert.deepEqual(await quickCall(client, 'ABRead', 100, 4),
                                     Buffer.from([9, 10, 11, 12]));
                    assert.deepEqual(await quickCall(client, 'DBRead', 21, 100, 4),
                                     Buffer.from([13, 14, 15, 16]));
                    // Data block 0 does not exist on a CPU.
                    await rejectsWithCode(assert, quickCall(client, 'DBRead', 0, 100, 4),
                                          errors.itemNotAvailable);
                });
            });

            it('moves the last 1000 bytes of each area in PDU-sized jobs', async () => {
                await withClient(async (client) => {
                    const cases = [
                        ['MBWrite', 'MBRead', profile.flagBytes],
                        ['EBWrite', 'EBRead', profile.imageBytes],
                        ['ABWrite', 'ABRead', profile.imageBytes],
                    ];
                    for (const [writeMethod, readMethod, size] of cases) {
                        const data = pattern(1000, size + readMethod.length);
                        await quickCall(client, writeMethod, size - 1000, 1000, data);
                        assert.deepEqual(await quickCall(client, readMethod, size - 1000, 1000),
                                         data, readMethod);
                    }
                });
            });
        });

        describe('past the end of each area', () => {
            it('serves the last element and answers "address out of range" one further',
               async () => {
                   await withClient(async (client) => {
                       const cases = [
                           ['MBRead', [], profile.flagBytes],
                           ['EBRead', [], profile.imageBytes],
                           ['ABRead', [], profile.imageBytes],
                           ['TMRead', [], profile.timers],
                           ['CTRead', [], profile.counters],
                           ['DBRead', [22], lastDataBlockByte + 1],
                       ];
                       for (const [method, db, end] of cases) {
                           const last = await quickCall(client, method, ...db, end - 1, 1);
                           assert.equal(last.length, method.startsWith('TM') ||
                                                     method.startsWith('CT') ? 2 : 1, method);
                           await rejectsWithCode(assert,
                                                 quickCall(client, method, ...db, end - 1, 2),
                                                 errors.addressOutOfRange);
                           await rejectsWithCode(assert, quickCall(client, method, ...db, end, 1),
                                                 errors.addressOutOfRange);
                       }
                   });
               });

            it('refuses a write past the end and keeps the last byte', async () => {
                await withClient(async (client) => {
                    const lastFlag = profile.flagBytes - 1;
                    await quickCall(client, 'MBWrite', lastFlag, 1, Buffer.from([0x3c]));
                    await rejectsWithCode(
                        assert, quickCall(client, 'MBWrite', lastFlag, 2, Buffer.from([1, 2])),
                        errors.addressOutOfRange);
                    assert.deepEqual(await quickCall(client, 'MBRead', lastFlag, 1),
                                     Buffer.from([0x3c]));
                });
            });
        });

        describe('ReadMultiVars and WriteMultiVars', () => {
            // Odd and even sizes of every type, and two items the CPU refuses, in one job each.
            const items = [
                { Area: S7AreaDB, WordLen: S7WLByte, DBNumber: 30, Start: 1, Amount: 3,
                  Data: pattern(3, 7) },
                { Area: S7AreaDB, WordLen: S7WLWord, DBNumber: 30, Start: 10, Amount: 2,
                  Data: pattern(4, 8) },
                { Area: S7AreaMK, WordLen: S7WLBit, Start: 5 * 8 + 6, Amount: 1,
                  Data: Buffer.from([1]) },
                { Area: S7AreaPA, WordLen: S7WLDWord, Start: 20, Amount: 1, Data: pattern(4, 9) },
                { Area: S7AreaDB, WordLen: S7WLReal, DBNumber: 31, Start: 0, Amount: 1,
                  Data: reals(-273.15) },
                { Area: S7AreaTM, WordLen: S7WLTimer, Start: 7, Amount: 2,
                  Data: Buffer.from([0x20, 0x15, 0x30, 0x01]) },
                { Area: S7AreaCT, WordLen: S7WLCounter, Start: 9, Amount: 1,
                  Data: Buffer.from([0x01, 0x23]) },
                { Area: S7AreaPE, WordLen: S7WLByte, Start: 3, Amount: 1,
                  Data: Buffer.from([0x5a]) },
                { Area: S7AreaDB, WordLen: S7WLByte, DBNumber: 0, Start: 0, Amount: 1,
                  Data: Buffer.from([0xee]) },
                { Area: S7AreaMK, WordLen: S7WLByte, Start: profile.flagBytes, Amount: 1,
                  Data: Buffer.from([0xee]) },
            ];
            const expectedResults = [0, 0, 0, 0, 0, 0, 0, 0, errors.itemNotAvailable,
                                     errors.addressOutOfRange];

            it('writes and reads back items of every type, each with its own result',
               async () => {
                   await withClient(async (client) => {
                       await quickCall(client, 'MBWrite', 5, 1, Buffer.from([0x01]));
                       const written = await quickCall(client, 'WriteMultiVars', items);
                       assert.deepEqual(written.map((r) => r.Result), expectedResults);

                       const reads = items.map(({ Data, ...rest }) => rest);
                       const results = await quickCall(client, 'ReadMultiVars', reads);
                       assert.deepEqual(results.map((r) => r.Result), expectedResults);
                       results.forEach((result, i) => {
                           assert.deepEqual(result.Data, expectedResults[i] === 0 ? items[i].Data
                                                                                  : null,
                                            `item ${i}`);
                       });
                       // The bit item set bit 6 of M5 and left bit 0 alone.
                       assert.deepEqual(await quickCall(client, 'MBRead', 5, 1),
                                        Buffer.from([0x41]));
                   });
               });

            it('refuses a job whose reply would exceed the PDU, then serves on', async () => {
                await withClient(async (client) => {
                    const half = client.PDULength() / 2;
                    const skip = server.lines().length;
                    await rejectsWithCode(assert, quickCall(client, 'ReadMultiVars', [
                        { Area: S7AreaDB, WordLen: S7WLByte, DBNumber: 32, Start: 0, Amount: half },
                        { Area: S7AreaDB, WordLen: S7WLByte, DBNumber: 33, Start: 0, Amount: half },
                    ]), errors.sizeOverPdu);
                    await server.waitForLine(
                        / Refusing Read Var: reply of \d+ bytes exceeds the PDU/, { skip });
                    const results = await quickCall(client, 'ReadMultiVars', [
                        { Area: S7AreaDB, WordLen: S7WLByte, DBNumber: 32, Start: 0,
                          Amount: half - 20 },
                        { Area: S7AreaDB, WordLen: S7WLByte, DBNumber: 33, Start: 0,
                          Amount: 10 },
                    ]);
                    assert.deepEqual(results.map((r) => [r.Result, r.Data.length]),
                                     [[0, half - 20], [0, 10]]);
                });
            });
        });

        describe('the CPU', () => {
            it('names itself: CPU info, order code, communication and protection', async () => {
                await withClient(async (client) => {
                    assert.deepEqual(await quickCall(client, 'GetCpuInfo'), profile.cpuInfo);
                    assert.deepEqual(await quickCall(client, 'GetOrderCode'), profile.orderCode);
                    assert.deepEqual(await quickCall(client, 'GetCpInfo'), {
                        MaxPduLength: profile.largestPdu,
                        MaxConnections: profile.connections,
                        MaxMpiRate: 187500,
                        MaxBusRate: 12000000,
                    });
                    assert.deepEqual(await quickCall(client, 'GetProtection'),
                                     { sch_schal: 1, sch_par: 0, sch_rel: 1, bart_sch: 2,
                                       anl_sch: 0 });
                });
            });

            it('lists its SZL IDs and reads whole lists, long ones in parts', async () => {
                await withClient(async (client) => {
                    assert.deepEqual(await quickCall(client, 'ReadSZLList'),
                                     [0x0000, 0x0011, 0x001c, 0x0131, 0x0232, 0x0424]);
                    // snap7 hands back its own structure: record length and count (host order),
                    // then the records as the CPU sent them.
                    const components = await quickCall(client, 'ReadSZL', 0x001c, 0);
                    assert.deepEqual([components.readUInt16LE(0), components.readUInt16LE(2)],
                                     [34, 10]);
                    const indexes = [];
                    for (let record = 0; record < 10; record++) {
                        indexes.push(components.readUInt16BE(4 + 34 * record));
                    }
                    assert.deepEqual(indexes, [1, 2, 3, 4, 5, 7, 8, 9, 10, 11]);
                    assert.equal(components.subarray(4 + 2, 4 + 2 + 24).toString('latin1'),
                                 profile.cpuInfo.ASName.padEnd(24, '\0'));

                    const modules = await quickCall(client, 'ReadSZL', 0x0011, 0);
                    const version = [profile.orderCode.V1, profile.orderCode.V2,
                                     profile.orderCode.V3];
                    assert.deepEqual(modules, Buffer.concat([
                        Buffer.from([28, 0, 3, 0]),
                        Buffer.from([0, 1]), Buffer.from(profile.orderCode.Code, 'latin1'),
                        Buffer.from([0, 0xc0, 0, 4, 0, 1]),
                        Buffer.from([0, 6]), Buffer.from(profile.orderCode.Code, 'latin1'),
                        Buffer.from([0, 0xc0, 0, 4, 0, 1]),
                        Buffer.from([0, 7]), Buffer.alloc(20, ' '),
                        Buffer.from([0, 0xc0, 0x56, ...version]),
                    ]));
                });
            });

            it('answers an SZL it does not have with an error at once', async () => {
                await withClient(async (client) => {
                    await rejectsWithCode(assert, quickCall(client, 'ReadSZL', 0x0d91, 0),
                                          errors.itemNotAvailable);
                    await rejectsWithCode(assert, quickCall(client, 'ReadSZL', 0x0011, 5),
                                          errors.itemNotAvailable);
                    assert.equal(await quickCall(client, 'PlcStatus'), S7CpuStatusRun);
                });
            });
        });

        describe('RUN and STOP', () => {
            const demoCounter = async (client) =>
                (await quickCall(client, 'DBRead', 15, 0, 2)).readUInt16LE(0);

            it('stops, keeps serving data with the demo values still, and starts again',
               async () => {
                   await withClient(async (client) => {
                       assert.equal(await quickCall(client, 'PlcStatus'), S7CpuStatusRun);
                       await quickCall(client, 'PlcStop');
                       assert.equal(await quickCall(client, 'PlcStatus'), S7CpuStatusStop);
                       const stopped = await demoCounter(client);
                       await sleep(150);
                       assert.equal(await demoCounter(client), stopped, 'DB15 counts in STOP');
                       await quickCall(client, 'DBWrite', 23, 0, 2, Buffer.from([7, 8]));
                       assert.deepEqual(await quickCall(client, 'DBRead', 23, 0, 2),
                                        Buffer.from([7, 8]));
                       await rejectsWithCode(assert, quickCall(client, 'PlcStop'),
                                             errors.alreadyStop);

                       await quickCall(client, 'PlcHotStart');
                       assert.equal(await quickCall(client, 'PlcStatus'), S7CpuStatusRun);
                       await sleep(150);
                       assert.notEqual(await demoCounter(client), stopped, 'DB15 still in RUN');
                       // A start in RUN: the CPU's answer carries reason 02, which snap7 names
                       // "cannot start" (it keeps "already running" for reason 03).
                       await rejectsWithCode(assert, quickCall(client, 'PlcHotStart'),
                                             errors.cannotStartPlc);
                       await rejectsWithCode(assert, quickCall(client, 'PlcColdStart'),
                                             errors.cannotStartPlc);
                       await quickCall(client, 'PlcStop');
                       await quickCall(client, 'PlcColdStart');
                       assert.equal(await quickCall(client, 'PlcStatus'), S7CpuStatusRun);
                   });
               });
        });

        describe('clock', () => {
            // snap7 reads the clock to the second. node-snap7 turns the date into a Date with
            // mktime on a struct tm it never initialised, so a stray tm_isdst moves the result by
            // an hour now and then: a difference of a whole hour is the client's, not the clock's.
            const hourMs = 3600 * 1000;
            const difference = (actual, expected) => {
                const raw = actual.getTime() - expected.getTime();
                return Math.abs(Math.abs(raw) - hourMs) < 5000 ? raw - Math.sign(raw) * hourMs
                                                               : raw;
            };
            const closeTo = (actual, expected, label) => {
                const ms = difference(actual, expected);
                assert.ok(ms > -1500 && ms < 2500,
                          `${label}: ${actual.toISOString()} against ${expected.toISOString()}`);
            };

            it('reads the host time, takes a time set and runs on from it', async () => {
                await withClient(async (client) => {
                    closeTo(await quickCall(client, 'GetPlcDateTime'), new Date(), 'at start');
                    const set = new Date(2031, 4, 6, 7, 8, 9);
                    await quickCall(client, 'SetPlcDateTime', set);
                    closeTo(await quickCall(client, 'GetPlcDateTime'), set, 'after setting');
                    await sleep(1100);
                    const later = await quickCall(client, 'GetPlcDateTime');
                    const ran = difference(later, set);
                    assert.ok(ran >= 1000 && ran < 3500, `ran on ${ran} ms`);
                    await quickCall(client, 'SetPlcDateTime', new Date());
                    closeTo(await quickCall(client, 'GetPlcDateTime'), new Date(), 'set back');
                });
            });
        });

        describe('block lists', () => {
            it('counts and lists the data blocks that exist, in parts when long', async () => {
                await withClient(async (client) => {
                    const before = await quickCall(client, 'ListBlocksOfType', client.Block_DB);
                    assert.ok(before.includes(1) && before.includes(15) && !before.includes(0),
                              `${before}`);
                    assert.deepEqual(before, [...before].sort((a, b) => a - b));
                    // More new blocks than one answer holds at this PDU (4 bytes a block).
                    const added = Array.from({ length: client.PDULength() / 4 + 10 },
                                             (_, i) => 2700 + i);
                    for (let at = 0; at < added.length; at += 15) {
                        const chunk = added.slice(at, at + 15).map((db) => ({
                            Area: S7AreaDB, WordLen: S7WLByte, DBNumber: db, Start: 0, Amount: 1,
                        }));
                        const results = await quickCall(client, 'ReadMultiVars', chunk);
                        assert.deepEqual(results.map((r) => r.Result), chunk.map(() => 0));
                    }
                    const skip = server.lines().length;
                    const listed = await quickCall(client, 'ListBlocksOfType', client.Block_DB);
                    assert.deepEqual(listed, [...before, ...added]);
                    await server.waitForLine(/ Sending block list of type DB continued /, { skip });

                    assert.deepEqual(await quickCall(client, 'ListBlocks'), {
                        OBCount: 0, FBCount: 0, FCCount: 0, SFBCount: 0, SFCCount: 0,
                        DBCount: listed.length, SDBCount: 0,
                    });
                    for (const type of [client.Block_OB, client.Block_FC, client.Block_FB,
                                        client.Block_SDB]) {
                        assert.deepEqual(await quickCall(client, 'ListBlocksOfType', type), []);
                    }
                });
            });
        });

        describe('what the CPU does not offer', () => {
            it('refuses uploads, block info and passwords at once; the connection goes on',
               async () => {
                   await withClient(async (client) => {
                       const skip = server.lines().length;
                       await rejectsWithCode(assert,
                                             quickCall(client, 'Upload', client.Block_OB, 1, 1024),
                                             errors.functionNotAvailable);
                       await server.waitForLine(/ Refusing start upload \(job function 0x1D\)/,
                                                { skip });
                       await rejectsWithCode(
                           assert, quickCall(client, 'FullUpload', client.Block_DB, 1, 1024),
                           errors.functionNotAvailable);
                       await rejectsWithCode(
                           assert, quickCall(client, 'GetAgBlockInfo', client.Block_DB, 1),
                           errors.functionNotAvailable);
                       await rejectsWithCode(assert, quickCall(client, 'DBGet', 1),
                                             errors.functionNotAvailable);
                       await rejectsWithCode(assert,
                                             quickCall(client, 'SetSessionPassword', 'secret'),
                                             errors.functionNotAvailable);
                       assert.equal(client.Connected(), true);
                       assert.deepEqual(await quickCall(client, 'DBRead', 1, 128, 13),
                                        Buffer.from([32, 11, ...Buffer.from('Hello there')]));
                   });
               });
        });
    });
}

// A test process of its own for node_package.test.mjs: runs one node:test test, in this process,
// that starts a PLC with the plcdouble package and prints {"pid": N, "journal": URL} on stdout.
// With the argument "wait" the test then waits for a write that never comes (it is killed
// meanwhile); with "leave" it ends there, without stopping the server.
import { it } from 'node:test';

import { startPlc } from '../../../clients/node/index.js';

const mode = process.argv[2];

it(`starts a PLC and ${mode === 'wait' ? 'waits for a write' : 'leaves it running'}`, async () => {
    const plc = await startPlc();
    process.stdout.write(`${JSON.stringify({ pid: plc.pid, httpUrl: plc.httpUrl })}\n`);
    if (mode === 'wait') {
        await plc.waitForWrite('DB1.DBW0', { timeoutMs: 60000 });
    }
});

// node-snap7 runs each job on a worker thread and reports through a Node-style callback whose
// error is the snap7 error code (a number). These wrappers turn that into promises whose
// rejection carries the code, so tests can assert on exactly what the client reports.
import { createRequire } from 'node:module';

const require = createRequire(import.meta.url);
export const snap7 = require('node-snap7');

export class Snap7Error extends Error {
    constructor(code, text) {
        super(`snap7 error 0x${code.toString(16).padStart(8, '0')}: ${text}`);
        this.code = code;
    }
}

// Error codes as snap7 defines them (named here so assertions read as what they mean).
export const errors = {
    addressOutOfRange: 0x00900000,
    itemNotAvailable: 0x00c00000,
    functionRefused: 0x02300000,
};

export function call(client, method, ...args) {
    return new Promise((resolve, reject) => {
        client[method](...args, (error, result) => {
            if (error) {
                reject(new Snap7Error(error, client.ErrorText(error)));
            } else {
                resolve(result);
            }
        });
    });
}

// A connected client on the test port, rack 0, slot 2.
export async function connectClient(host, port) {
    const client = new snap7.S7Client();
    client.SetParam(client.RemotePort, port);
    await call(client, 'ConnectTo', host, 0, 2);
    return client;
}

// Asserts a promise rejects with the given snap7 error code.
export async function rejectsWithCode(assert, promise, code) {
    await assert.rejects(promise, (error) => {
        assert.ok(error instanceof Snap7Error, `expected a snap7 error, got ${error}`);
        assert.equal(error.code.toString(16), code.toString(16), error.message);
        return true;
    });
}

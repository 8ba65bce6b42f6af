// node-snap7 runs each job on a worker thread and reports through a Node-style callback whose
// error is the snap7 error code (a number). These wrappers turn that into promises whose
// rejection carries the code, so tests can assert on exactly what the client reports.
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import { performance } from 'node:perf_hooks';

import { countCall } from './call_count.mjs';

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
    isoInvalidPdu: 0x00030000, // e.g. a disconnect request where the connect confirm belongs
    sizeOverPdu: 0x00700000,
    addressOutOfRange: 0x00900000,
    itemNotAvailable: 0x00c00000,
    cannotStartPlc: 0x00e00000,
    alreadyStop: 0x01300000,
    functionNotAvailable: 0x01400000,
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

// snap7 waits 3 s for a reply by default. A call that takes anywhere near that long met a request
// the server left unanswered, so calls that must be answered at once are held to this.
export const quickCallLimitMs = 500;

// call(), failing when the client took quickCallLimitMs or longer, answer or error. Calls other
// than connects are counted for the capture check.
export async function quickCall(client, method, ...args) {
    if (!method.startsWith('Connect')) {
        countCall();
    }
    const started = performance.now();
    let outcome;
    try {
        outcome = { value: await call(client, method, ...args) };
    } catch (error) {
        outcome = { error };
    }
    const elapsed = performance.now() - started;
    assert.ok(elapsed < quickCallLimitMs,
              `${method} took ${elapsed.toFixed(0)} ms (${outcome.error ?? 'answered'})`);
    if (outcome.error) {
        throw outcome.error;
    }
    return outcome.value;
}

// A connected client on the test port, rack 0, slot 2 unless told otherwise.
export async function connectClient(host, port, { rack = 0, slot = 2 } = {}) {
    const client = new snap7.S7Client();
    client.SetParam(client.RemotePort, port);
    await call(client, 'ConnectTo', host, rack, slot);
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

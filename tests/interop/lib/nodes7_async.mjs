// nodes7 reports through callbacks; these wrappers make each step a promise. nodes7 keeps one
// polled item list per connection, so every test uses its own connection.
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import { performance } from 'node:perf_hooks';

import { countCall } from './call_count.mjs';

const require = createRequire(import.meta.url);
export const NodeS7 = require('nodes7');

// Connects with rack 0, slot 2 unless told otherwise. nodes7 asks for PDU 960 and 8 parallel jobs
// and takes what the partner offers. timeout is how long nodes7 waits for any reply.
export function connect(host, port, { slot = 2, timeout = 5000 } = {}) {
    const connection = new NodeS7({ silent: true });
    return new Promise((resolve, reject) => {
        connection.initiateConnection({ host, port, rack: 0, slot, timeout }, (error) => {
            if (error !== undefined) {
                reject(error);
            } else {
                resolve(connection);
            }
        });
    });
}

export function drop(connection) {
    return new Promise((resolve) => connection.dropConnection(resolve));
}

// Resolves to whether nodes7 called anything bad.
export function write(connection, items, values) {
    return new Promise((resolve, reject) => {
        const queued = connection.writeItems(items, values, (anythingBad) => resolve(anythingBad));
        if (queued !== 0) {
            reject(new Error('nodes7 did not queue the write'));
        }
    });
}

// Adds the items to the polled list and reads everything on it in one readAllItems.
export function readAll(connection, items) {
    connection.addItems(items);
    return new Promise((resolve) => {
        connection.readAllItems((anythingBad, values) => resolve({ anythingBad, values }));
    });
}

// The longest a read or write may take when the server answers at once (nodes7 waits for its
// timeout, 5 s here, for a reply that does not come).
export const quickCallLimitMs = 500;

async function quickly(what, body) {
    countCall();
    const started = performance.now();
    const result = await body();
    const elapsed = performance.now() - started;
    assert.ok(elapsed < quickCallLimitMs, `${what} took ${elapsed.toFixed(0)} ms`);
    return result;
}

export function quickWrite(connection, items, values) {
    return quickly(`writing ${items}`, () => write(connection, items, values));
}

// Reads exactly these items: the polled list is emptied first.
export function quickRead(connection, items) {
    connection.removeItems();
    return quickly(`reading ${items}`, () => readAll(connection, items));
}

// A write whose answer may be slow: resolves to whether nodes7 called anything bad and how long
// it took to say so.
export async function timedWrite(connection, items, values) {
    countCall();
    const started = performance.now();
    const anythingBad = await write(connection, items, values);
    return { anythingBad, elapsedMs: performance.now() - started };
}

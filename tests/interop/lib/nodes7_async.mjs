// nodes7 reports through callbacks; these wrappers make each step a promise. nodes7 keeps one
// polled item list per connection, so every test uses its own connection.
import { createRequire } from 'node:module';

const require = createRequire(import.meta.url);
export const NodeS7 = require('nodes7');

// Connects with rack 0, slot 2. nodes7 asks for PDU 960 and 8 parallel jobs and takes what the
// partner offers.
export function connect(host, port) {
    const connection = new NodeS7({ silent: true });
    return new Promise((resolve, reject) => {
        connection.initiateConnection({ host, port, rack: 0, slot: 2, timeout: 5000 }, (error) => {
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

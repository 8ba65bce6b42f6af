// Counts the client calls a test process makes that reach the server. The capture check sets
// PLCDOUBLE_CALL_LOG and compares the sum with the requests it saw on the wire.
import { appendFileSync } from 'node:fs';

let count = 0;

export function countCall() {
    count += 1;
}

const logPath = process.env.PLCDOUBLE_CALL_LOG;
if (logPath) {
    process.on('exit', () => appendFileSync(logPath, `${count}\n`));
}

// plcdouble for Node tests: starts the plcdouble server on free loopback ports, waits until it
// listens, and drives it through its HTTP API (values, reset, the manual clock, the write
// journal, fault rules). No dependencies beyond Node itself.
import { spawn } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, rmSync, watch } from 'node:fs';
import http from 'node:http';
import { tmpdir } from 'node:os';
import { delimiter, join } from 'node:path';

const readyFileName = 'ready.json';
const defaultStartTimeoutMs = 10000;
const stopTimeoutMs = 10000;
// The server takes wait_ms up to this; longer waits are several polls.
const longestPollMs = 30000;
// What is kept of the server's output (log lines on stdout, errors on stderr), from its end.
const outputLimit = 64 * 1024;
// Of a failed start's stderr, in the error's message.
const stderrLinesShown = 10;

// The slot a client connects with, rack 0, per CPU profile (docs/cpu-profiles.md).
const slotOfCpu = { 'classic': 2, 's7-300': 2, 's7-400': 2, 's7-1200': 1, 's7-1500': 1 };

// Every server this process started and has not seen end; ended with it (the server's
// --exit-with-parent covers the ways out that run no JavaScript, such as SIGKILL).
const running = new Set();
process.on('exit', () => {
    for (const child of running) {
        try {
            child.kill('SIGTERM');
        } catch {
            // already gone
        }
    }
});

export class PlcError extends Error {
    constructor(message, details = {}) {
        super(message);
        this.name = 'PlcError';
        Object.assign(this, details);
    }
}

// ---- addresses in the S7 notation, as far as the journal needs them

const addressPattern = new RegExp(
    '^%?(?:DB(\\d+)\\.DB([XBWD])(\\d+)(?:\\.(\\d+))?' + // DB1.DBW2, DB1.DBX4.3
    '|([IQM])([XBWD]?)(\\d+)(?:\\.(\\d+))?' +           // MW10, I0.0, QB2
    '|([TC])(\\d+))' +                                   // T5, C3
    '(?::([A-Z0-9_]+)(?:\\[(\\d+)\\])?)?$', 'i');          // :INT, :STRING[20]

const areaOfLetter = { I: 'I', Q: 'Q', M: 'M', T: 'T', C: 'C' };
const widthOfLetter = { B: 1, W: 2, D: 4 };

// The bytes an address covers: {area, db, start, size, bit} with bit -1 for whole bytes; timers
// and counters are two bytes each, element n at byte 2n, as the journal gives them.
export function parseAddress(text) {
    const found = addressPattern.exec(String(text).trim());
    if (!found) {
        throw new PlcError(`${text}: not an address in the S7 notation (DB1.DBW2, MW10, I0.0, T5)`);
    }
    const [, db, dbWidth, dbStart, dbBit, area, areaWidth, areaStart, areaBit, counted, element,
           type, capacity] = found;
    if (counted) {
        return { area: areaOfLetter[counted.toUpperCase()], db: 0, start: Number(element) * 2,
                 size: 2, bit: -1 };
    }
    const letter = (dbWidth ?? (areaWidth || 'X')).toUpperCase();
    const bitText = dbBit ?? areaBit;
    const where = { area: db !== undefined ? 'DB' : area.toUpperCase(), db: Number(db ?? 0),
                    start: Number(dbStart ?? areaStart) };
    if (letter === 'X') {
        if (bitText === undefined || Number(bitText) > 7) {
            throw new PlcError(`${text}: a bit address ends in .0-.7`);
        }
        return { ...where, size: 1, bit: Number(bitText) };
    }
    if (bitText !== undefined) {
        throw new PlcError(`${text}: only a bit address has a bit number`);
    }
    let size = widthOfLetter[letter];
    if (type !== undefined && type.toUpperCase() === 'STRING') {
        size = 2 + Number(capacity ?? 254);
    }
    return { ...where, size, bit: -1 };
}

// Whether a journal entry wrote any of the address's bytes (for two bits: the same bit).
export function entryOverlaps(entry, address) {
    if (entry.area !== address.area || (address.area === 'DB' && entry.db !== address.db)) {
        return false;
    }
    const entrySize = Math.max(1, entry.hex.length / 2);
    if (entry.start >= address.start + address.size || address.start >= entry.start + entrySize) {
        return false;
    }
    return !(entry.bit >= 0 && address.bit >= 0 && entry.bit !== address.bit);
}

// ---- finding the binary

function onPath(name) {
    for (const folder of (process.env.PATH ?? '').split(delimiter)) {
        if (folder && existsSync(join(folder, name))) {
            return join(folder, name);
        }
    }
    return undefined;
}

function binaryPath(binary) {
    const chosen = binary ?? process.env.PLCDOUBLE_BINARY ?? onPath('plcdouble');
    if (!chosen) {
        throw new PlcError('plcdouble not found: pass {binary}, set PLCDOUBLE_BINARY or put ' +
                           'plcdouble on PATH');
    }
    return chosen;
}

// ---- the server's output

class OutputTail {
    constructor() {
        this.text = '';
    }

    add(chunk) {
        this.text += chunk;
        if (this.text.length > 2 * outputLimit) {
            this.text = this.text.slice(-outputLimit);
        }
    }

    toString() {
        return this.text.slice(-outputLimit);
    }
}

// ---- waiting for the ready file

function readReady(file) {
    let text;
    try {
        text = readFileSync(file, 'utf8');
    } catch (error) {
        if (error.code === 'ENOENT') {
            return undefined;
        }
        throw error;
    }
    // Written whole and renamed into place by the server, so a file that is there is complete.
    return JSON.parse(text);
}

// Resolves with the ready file's content once the server has written it. Rejects when the
// server exits first, or after timeoutMs (the server is then killed). The folder is watched and
// the file looked at once the watch is in place, so no rename is missed; a slow look every
// 100 ms backs up a file system whose events do not arrive.
function waitForReady({ child, executable, folder, file, timeoutMs, exited, describe }) {
    return new Promise((resolve, reject) => {
        let watcher;
        let backup;
        let timer;
        let finished = false;
        const finish = (outcome) => {
            if (finished) {
                return;
            }
            finished = true;
            watcher?.close();
            clearInterval(backup);
            clearTimeout(timer);
            outcome();
        };
        const look = () => {
            if (finished) {
                return;
            }
            try {
                const ready = readReady(file);
                if (ready !== undefined) {
                    finish(() => resolve(ready));
                }
            } catch (error) {
                finish(() => reject(new PlcError(`unreadable ready file ${file}: ${error.message}`)));
            }
        };
        exited.then((exit) => finish(() => reject(exit.error
            ? new PlcError(`cannot start ${executable}: ${exit.error.message}`, { exit })
            : new PlcError(`plcdouble exited during start-up (${describeExit(exit)})${describe()}`,
                           { exit }))));
        timer = setTimeout(() => finish(() => {
            child.kill('SIGKILL');
            reject(new PlcError(`plcdouble was not ready within ${timeoutMs} ms${describe()}`));
        }), timeoutMs);
        try {
            watcher = watch(folder, (event, name) => {
                if (name === null || name === readyFileName) {
                    look();
                }
            });
            watcher.on('error', () => {});
        } catch {
            watcher = undefined;
        }
        backup = setInterval(look, 100);
        look();
    });
}

function describeExit({ code, signal }) {
    return signal ? `signal ${signal}` : `exit status ${code}`;
}

// ---- one running server

class Plc {
    constructor({ child, ready, folder, token, output, exited }) {
        this.child = child;
        this.pid = ready.pid;
        // A server bound to every address is reached on loopback.
        this.host = ready.s7.address === '0.0.0.0' ? '127.0.0.1' : ready.s7.address;
        this.port = ready.s7.port;
        this.rack = 0;
        this.slot = 2;
        this.cpu = 'classic';
        this.httpUrl = ready.http ? `http://${ready.http.address}:${ready.http.port}` : null;
        this.folder = folder;
        this.token = token;
        this.outputTail = output;
        this.exited = exited;
        this.exit = null;
        exited.then((exit) => {
            this.exit = exit;
        });
        // The journal number up to which the helper has looked.
        this.cursor = 0;
        this.faults = {
            add: async (rule) => (await this.request('POST', '/api/faults', rule)).id,
            remove: async (id) => {
                await this.request('DELETE', `/api/faults/${encodeURIComponent(id)}`);
            },
            list: async () => (await this.request('GET', '/api/faults')).rules,
        };
        if (Symbol.asyncDispose) {
            this[Symbol.asyncDispose] = () => this.stop();
        }
        // A test process ends when its work is done, whether or not it stopped the server; the
        // exit handler above ends the server then.
        this.#hold(false);
    }

    // Whether the running server keeps this process alive (stop() holds it while it waits).
    #hold(on) {
        for (const handle of [this.child, this.child.stdout, this.child.stderr]) {
            if (on) {
                handle?.ref?.();
            } else {
                handle?.unref?.();
            }
        }
    }

    // The server's log and error output so far (the last 64 KiB).
    get output() {
        return this.outputTail.toString();
    }

    request(method, path, body, { timeoutMs = 10000 } = {}) {
        if (!this.httpUrl) {
            return Promise.reject(new PlcError('this server has no HTTP API (--http)'));
        }
        const data = body === undefined ? undefined : Buffer.from(JSON.stringify(body));
        const headers = { Connection: 'close' };
        if (data) {
            headers['Content-Type'] = 'application/json';
            headers['Content-Length'] = data.length;
        }
        if (this.token) {
            headers.Authorization = `Bearer ${this.token}`;
        }
        return new Promise((resolve, reject) => {
            const request = http.request(`${this.httpUrl}${path}`, { method, headers },
                                         (response) => {
                const chunks = [];
                response.on('data', (chunk) => chunks.push(chunk));
                response.on('error', reject);
                response.on('end', () => {
                    const text = Buffer.concat(chunks).toString('utf8');
                    let parsed;
                    try {
                        parsed = text ? JSON.parse(text) : {};
                    } catch {
                        parsed = { error: text };
                    }
                    if (response.statusCode >= 400) {
                        reject(new PlcError(`${method} ${path}: ${response.statusCode} ` +
                                            `${parsed.error ?? text}`,
                                            { status: response.statusCode, body: parsed }));
                    } else {
                        resolve(parsed);
                    }
                });
            });
            request.setTimeout(timeoutMs, () => {
                request.destroy(new PlcError(`${method} ${path}: no answer within ${timeoutMs} ms`));
            });
            request.on('error', reject);
            request.end(data);
        });
    }

    async read(address) {
        const query = new URLSearchParams({ addr: address });
        const { values } = await this.request('GET', `/api/watch?${query}`);
        return values[0].value;
    }

    // Writes as a client write would (it shows in the journal as source "http"); resolves with
    // the value read back.
    async write(address, value) {
        return (await this.request('PUT', '/api/watch', { addr: address, value })).value;
    }

    async reset() {
        await this.request('POST', '/api/reset', {});
    }

    // Moves a server started with --clock manual on by ms milliseconds; {now_ms, cycles}.
    advance(ms) {
        return this.request('POST', '/api/clock', { advance_ms: ms });
    }

    // The writes after `since` (by default: after what the helper last saw): {next, lost, writes}.
    async journal(since = this.cursor, { waitMs } = {}) {
        const query = new URLSearchParams({ since: String(since) });
        if (waitMs !== undefined) {
            query.set('wait_ms', String(Math.max(0, Math.min(longestPollMs, Math.round(waitMs)))));
        }
        const answer = await this.request('GET', `/api/journal?${query}`, undefined,
                                          { timeoutMs: (waitMs ?? 0) + 10000 });
        this.cursor = Math.max(this.cursor, answer.next);
        return answer;
    }

    // Resolves with the first journal entry after `since` (by default: after what the helper last
    // saw) that wrote a byte of the address (any address when null) and for which where(entry)
    // is true; the helper has then looked up to that entry. Rejects after timeoutMs.
    async waitForWrite(address, { timeoutMs = 5000, where = () => true, since } = {}) {
        const wanted = address === null || address === undefined ? null : parseAddress(address);
        const deadline = Date.now() + timeoutMs;
        let from = since ?? this.cursor;
        for (;;) {
            const left = deadline - Date.now();
            const answer = await this.journal(from, { waitMs: Math.max(0, left) });
            for (const entry of answer.writes) {
                if ((wanted === null || entryOverlaps(entry, wanted)) && where(entry)) {
                    this.cursor = entry.seq;
                    return entry;
                }
            }
            this.cursor = Math.max(this.cursor, answer.next);
            from = answer.next;
            if (Date.now() >= deadline) {
                throw new PlcError(`no write to ${address ?? 'any address'} within ${timeoutMs} ms`);
            }
        }
    }

    // Sends SIGTERM and resolves with how the server exited ({code, signal}); SIGKILL when it has
    // not ended within 10 s.
    async stop() {
        if (this.exit === null) {
            this.#hold(true);
            this.child.kill('SIGTERM');
            const timer = setTimeout(() => this.child.kill('SIGKILL'), stopTimeoutMs);
            await this.exited;
            clearTimeout(timer);
        }
        rmSync(this.folder, { recursive: true, force: true });
        return this.exit;
    }
}

function argumentsFor({ cpu, config, program, args = [], httpToken }, readyFile) {
    const list = ['--port', '0', '--http', '127.0.0.1:0', '--ready-file', readyFile,
                  '--exit-with-parent', '--color', 'never'];
    if (config !== undefined) {
        list.push('--config', config);
    }
    if (cpu !== undefined) {
        list.push('--cpu', cpu);
    }
    if (program !== undefined) {
        list.push('--program', program);
    }
    if (httpToken !== undefined) {
        list.push('--http-token', httpToken);
    }
    return [...list, ...args];
}

// Starts a server on free loopback ports and resolves once it listens. On failure the error
// names the server's exit and carries its stderr.
export async function startPlc(options = {}) {
    const { binary, timeoutMs = defaultStartTimeoutMs, httpToken, env } = options;
    const executable = binaryPath(binary);
    const folder = mkdtempSync(join(tmpdir(), 'plcdouble-'));
    const readyFile = join(folder, readyFileName);
    const child = spawn(executable, argumentsFor(options, readyFile), {
        stdio: ['ignore', 'pipe', 'pipe'],
        env: env ?? process.env,
    });
    const output = new OutputTail();
    let stderr = '';
    child.stdout.setEncoding('utf8');
    child.stdout.on('data', (text) => output.add(text));
    child.stderr.setEncoding('utf8');
    child.stderr.on('data', (text) => {
        output.add(text);
        stderr = (stderr + text).slice(-outputLimit);
    });
    // 'close' comes once the output is read to its end, so an error made from it is complete.
    const exited = new Promise((resolve) => {
        child.once('close', (code, signal) => {
            running.delete(child);
            resolve({ code, signal });
        });
        child.once('error', (error) => {
            running.delete(child);
            resolve({ code: null, signal: null, error });
        });
    });
    running.add(child);

    // The message shows the start of it (an error line, then perhaps a usage text).
    const describe = () => (stderr.trim()
        ? `; stderr:\n${stderr.trim().split('\n').slice(0, stderrLinesShown).join('\n')}` : '');
    let ready;
    try {
        ready = await waitForReady({ child, executable, folder, file: readyFile, timeoutMs, exited,
                                     describe });
    } catch (error) {
        await exited;
        rmSync(folder, { recursive: true, force: true });
        if (error instanceof PlcError) {
            error.stderr = stderr;
        }
        throw error;
    }

    const plc = new Plc({ child, ready, folder, token: httpToken, output, exited });
    try {
        if (plc.httpUrl) {
            const status = await plc.request('GET', '/api/status');
            plc.cpu = status.cpu;
            plc.slot = slotOfCpu[status.cpu] ?? 1;
        }
    } catch (error) {
        await plc.stop();
        throw error;
    }
    return plc;
}

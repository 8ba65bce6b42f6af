// Starts the real plcdouble binary on a free loopback port for one test file and stops it at the
// end. The binary comes from PLCDOUBLE_BINARY (set by ctest); its console log is kept so tests can
// look for the lines the server prints about what it did. PLCDOUBLE_INTEROP_PORT, when set, is the
// port every server starts on (the capture check listens to that port only).
import { spawn } from 'node:child_process';
import net from 'node:net';
import { setTimeout as sleep } from 'node:timers/promises';

export const host = '127.0.0.1';

const startTimeoutMs = 10000;
const stopTimeoutMs = 10000;
const pollIntervalMs = 20;

function binaryPath() {
    const path = process.env.PLCDOUBLE_BINARY;
    if (!path) {
        throw new Error('PLCDOUBLE_BINARY is not set (ctest sets it to the built plcdouble)');
    }
    return path;
}

// A port nobody listens on right now: bind port 0, read the number, release it.
export function freePort() {
    return new Promise((resolve, reject) => {
        const probe = net.createServer();
        probe.once('error', reject);
        probe.listen(0, host, () => {
            const { port } = probe.address();
            probe.close(() => resolve(port));
        });
    });
}

// Resolves true once a TCP connection to the port is accepted (and closes it again), false when
// the connection is refused.
function canConnect(port) {
    return new Promise((resolve) => {
        const socket = net.connect({ host, port });
        socket.once('connect', () => {
            socket.destroy();
            resolve(true);
        });
        socket.once('error', () => resolve(false));
    });
}

export class PlcServer {
    constructor(child, port) {
        this.child = child;
        this.port = port;
        this.output = '';
        this.exit = null;
        this.exited = new Promise((resolve) => {
            child.once('exit', (code, signal) => {
                this.exit = { code, signal };
                resolve(this.exit);
            });
        });
        child.stdout.setEncoding('utf8');
        child.stdout.on('data', (text) => {
            this.output += text;
        });
        child.stderr.setEncoding('utf8');
        child.stderr.on('data', (text) => {
            this.output += text;
        });
    }

    lines() {
        return this.output.split('\n').filter((line) => line.length > 0);
    }

    // The log reaches us through a pipe, possibly after the client already has its answer, so
    // tests wait for lines rather than look once. Waits until `count` lines after the first
    // `skip` match the pattern and returns them; fails after timeoutMs.
    async waitForLines(pattern, count, { skip = 0, timeoutMs = 5000 } = {}) {
        const deadline = Date.now() + timeoutMs;
        for (;;) {
            const found = this.lines().slice(skip).filter((line) => pattern.test(line));
            if (found.length >= count) {
                return found;
            }
            if (Date.now() > deadline) {
                throw new Error(`fewer than ${count} log lines matching ${pattern} within ` +
                                `${timeoutMs} ms; log:\n${this.lines().slice(skip).join('\n')}`);
            }
            await sleep(pollIntervalMs);
        }
    }

    async waitForLine(pattern, options = {}) {
        return (await this.waitForLines(pattern, 1, options))[0];
    }

    // Asks the server to stop (it stops on SIGTERM) and returns how it exited.
    async stop() {
        if (this.exit === null) {
            this.child.kill('SIGTERM');
            const timer = setTimeout(() => this.child.kill('SIGKILL'), stopTimeoutMs);
            await this.exited;
            clearTimeout(timer);
        }
        return this.exit;
    }
}

// Starts the binary on the port. Returns the exited server when it exits during start-up (the
// port was taken), the running server once it has accepted and let go of a probe connection. A probe answered by
// some other listener on the port never shows in the server's log, so that is waited for too.
async function startOnce(port, extraArgs) {
    const args = ['--bind', host, '--port', String(port), '--color', 'never', ...extraArgs];
    const child = spawn(binaryPath(), args, { stdio: ['ignore', 'pipe', 'pipe'] });
    const server = new PlcServer(child, port);
    const deadline = Date.now() + startTimeoutMs;
    let probed = false;
    for (;;) {
        if (server.exit !== null) {
            return server;
        }
        if (probed && / TCP Dis-conn /.test(server.output)) {
            return server;
        }
        if (Date.now() > deadline) {
            await server.stop();
            throw new Error(`plcdouble did not start on port ${port}:\n${server.output}`);
        }
        probed = probed || (await canConnect(port));
        await sleep(pollIntervalMs);
    }
}

// Starts plcdouble on a free port and waits until it accepts connections. Another process may
// take the port between the look-up and the start; then the server exits and a new port is tried.
// A fixed port can be given for looking at the traffic with a capture tool; args are passed on to
// the binary (e.g. ['--cpu', 's7-1500']) after the port, address and colour, which win over a
// configuration file's.
export async function startServer({ port = fixedPortFromEnvironment(), args = [] } = {}) {
    const attempts = port === undefined ? 3 : 1;
    let server;
    for (let attempt = 0; attempt < attempts; attempt++) {
        server = await startOnce(port ?? (await freePort()), args);
        if (server.exit === null) {
            return server;
        }
    }
    throw new Error(`plcdouble exited during start-up ${attempts} times; last log:\n` +
                    server.output);
}

function fixedPortFromEnvironment() {
    const text = process.env.PLCDOUBLE_INTEROP_PORT;
    return text ? Number(text) : undefined;
}

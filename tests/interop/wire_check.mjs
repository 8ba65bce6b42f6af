// The wire judged by a third party: captures the CPU profile runs of the interop suite on the
// loopback interface and has Wireshark's s7comm dissector read every frame. Passes when no frame
// the server sent is malformed or carries an expert error (the only faulty client frames allowed
// are nodes7's timer and counter writes, which the server must refuse), every S7 header's lengths
// add up to its frame, every S7 request got its response, and the capture holds at least one
// request per client call the runs made.
//
//   node wire_check.mjs        (ctest test interop_wire_check; PLCDOUBLE_BINARY names the server)
//
// Exits with 77 (skipped) when tshark or dumpcap is missing or dumpcap may not capture here
// (capturing on lo needs root or the capture capabilities).
import { spawn, spawnSync } from 'node:child_process';
import { accessSync, constants, existsSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import net from 'node:net';
import { tmpdir } from 'node:os';
import { delimiter, join } from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';
import { fileURLToPath } from 'node:url';

import { freePort, host } from './lib/plc_server.mjs';

const skipCode = 77;
const profileRuns = ['snap7_profiles.test.mjs', 'nodes7_profiles.test.mjs'];
const captureStartMs = 10000;
const captureStopMs = 10000;
const pollIntervalMs = 50;
const runTimeoutMs = 120000;
const tsharkTimeoutMs = 60000;
const interopDir = fileURLToPath(new URL('.', import.meta.url));

function skip(reason) {
    console.log(`SKIPPED: ${reason}`);
    process.exitCode = skipCode;
}

function fail(reason) {
    console.error(`FAILED: ${reason}`);
    process.exitCode = 1;
}

function findProgram(name) {
    for (const directory of (process.env.PATH ?? '').split(delimiter)) {
        if (directory.length === 0) {
            continue;
        }
        try {
            accessSync(join(directory, name), constants.X_OK);
            return join(directory, name);
        } catch {
            // not in this directory
        }
    }
    return null;
}

// Resolves once a connection attempt to the port has ended, whatever its outcome.
function knock(port) {
    return new Promise((resolve) => {
        const socket = net.connect({ host, port });
        socket.once('connect', () => {
            socket.destroy();
            resolve();
        });
        socket.once('error', () => resolve());
    });
}

// Starts dumpcap on lo for the port and resolves once it has captured a packet of ours: dumpcap
// says "Capturing on" even when it may not capture, so the proof is its packet count, which it
// prints as it goes ("Packets: N"). Nothing listens on the port yet; the knocks are refused.
// Resolves { child: null, messages } when dumpcap exits or does not get that far in time.
function startCapture(dumpcap, port, file) {
    const child = spawn(dumpcap, ['-i', 'lo', '-f', `tcp port ${port}`, '-w', file],
                        { stdio: ['ignore', 'ignore', 'pipe'] });
    let messages = '';
    let exit = null;
    child.stderr.setEncoding('utf8');
    child.stderr.on('data', (text) => {
        messages += text;
    });
    child.once('exit', (code, signal) => {
        exit = code ?? signal;
    });
    return (async () => {
        const deadline = Date.now() + captureStartMs;
        while (exit === null && Date.now() < deadline) {
            if (/Packets: [1-9]/.test(messages)) {
                return { child, messages };
            }
            if (messages.includes('File: ')) {
                await knock(port);
            }
            await sleep(pollIntervalMs);
        }
        if (exit === null) {
            child.kill('SIGKILL');
            return { child: null, messages: `${messages}(no packet within ${captureStartMs} ms)` };
        }
        return { child: null, messages: `${messages}(dumpcap exited: ${exit})` };
    })();
}

function stopCapture(child) {
    return new Promise((resolve) => {
        const timer = setTimeout(() => {
            child.kill('SIGKILL');
            resolve(false);
        }, captureStopMs);
        child.once('exit', (code) => {
            clearTimeout(timer);
            resolve(code === 0);
        });
        child.kill('SIGTERM');
    });
}

// Runs one test file of the suite with every server on the captured port; resolves its status.
// The run gets a process group of its own, so a run that hangs is ended with the test process
// and the server that node --test started under it.
function runProfileFile(file, port, callLog) {
    return new Promise((resolve) => {
        const child = spawn(process.execPath, ['--test', join(interopDir, file)], {
            cwd: interopDir,
            stdio: 'inherit',
            detached: true,
            env: { ...process.env, PLCDOUBLE_INTEROP_PORT: String(port),
                   PLCDOUBLE_CALL_LOG: callLog },
        });
        const timer = setTimeout(() => {
            try {
                process.kill(-child.pid, 'SIGKILL');
            } catch {
                // the group is gone already
            }
        }, runTimeoutMs);
        child.once('exit', (code, signal) => {
            clearTimeout(timer);
            resolve(code ?? signal);
        });
    });
}

function tshark(program, file, port, ...args) {
    const result = spawnSync(program, ['-r', file, '-d', `tcp.port==${port},tpkt`, ...args],
                             { encoding: 'utf8', timeout: tsharkTimeoutMs });
    if (result.status !== 0) {
        throw new Error(`tshark ${args.join(' ')} failed (${result.status ?? result.signal}):\n` +
                        result.stderr);
    }
    return result.stdout.split('\n').filter((line) => line.length > 0);
}

// Runs tshark with -T fields and returns one array of columns per frame. A frame may hold several
// S7 PDUs; tshark then lists each field's values comma-separated, in order, so a column is split
// into its values.
function fieldsOf(program, file, port, filter, fields) {
    const lines = tshark(program, file, port, '-Y', filter, '-T', 'fields', '-E', 'separator=/t',
                         ...fields.flatMap((field) => ['-e', field]));
    return lines.map((line) => line.split('\t').map((column) => column.split(',')));
}

// One entry per S7 PDU: the TCP stream, whether it asks or answers, and its reference.
function s7Messages(program, file, port) {
    const messages = [];
    const frames = fieldsOf(program, file, port, 's7comm', [
        'tcp.stream', 's7comm.header.rosctr', 's7comm.header.pduref',
        's7comm.param.userdata.type',
    ]);
    for (const [[stream], rosctrs, references, userdataTypes] of frames) {
        const types = userdataTypes.filter((type) => type.length > 0);
        rosctrs.forEach((rosctr, i) => {
            // ROSCTR 1 job, 2 ack, 3 ack-data, 7 userdata (type 4 request, 8 response).
            const request = rosctr === '1' || (rosctr === '7' && types.shift() === '4');
            messages.push({ key: `${stream}/${references[i]}`, request });
        });
    }
    return messages;
}

// The header error each acknowledgement carries, by stream and reference ("0x81 0x04").
function headerErrors(program, file, port) {
    const errors = new Map();
    const frames = fieldsOf(program, file, port, 's7comm.header.errcls', [
        'tcp.stream', 's7comm.header.pduref', 's7comm.header.errcls', 's7comm.header.errcod',
    ]);
    for (const [[stream], references, classes, codes] of frames) {
        references.forEach((reference, i) => {
            errors.set(`${stream}/${reference}`, `${classes[i]} ${codes[i]}`);
        });
    }
    return errors;
}

// The dissector takes the lengths in an S7 header as they come. Checks with the fields it decodes
// that header, parameters and data add up to the COTP payload of the frame (or of the reassembled
// frames). Returns the list of faults.
function judgeLengths(program, file, port) {
    const frames = fieldsOf(program, file, port, 's7comm', [
        'frame.number', 'tpkt.length', 'cotp.li', 'cotp.reassembled.length',
        's7comm.header.rosctr', 's7comm.header.parlg', 's7comm.header.datlg',
    ]);
    const faults = [];
    for (const [[frame], tpktLengths, cotpLengths, [reassembled], rosctrs, parameters, data]
             of frames) {
        // The COTP payload each S7 PDU came in: TPKT length less TPKT and COTP headers.
        const payloads = reassembled
                             ? [Number(reassembled)]
                             : tpktLengths.map((length, i) => Number(length) - 4 -
                                                              (Number(cotpLengths[i]) + 1));
        if (payloads.length !== rosctrs.length) {
            faults.push(`frame ${frame}: ${payloads.length} COTP payloads for ` +
                        `${rosctrs.length} S7 PDUs`);
            continue;
        }
        rosctrs.forEach((rosctr, i) => {
            // Acknowledgements carry the error class and code in their header.
            const headerSize = rosctr === '2' || rosctr === '3' ? 12 : 10;
            const declared = headerSize + Number(parameters[i]) + Number(data[i]);
            if (declared !== payloads[i]) {
                faults.push(`frame ${frame}: the S7 header declares ${declared} bytes, the ` +
                            `frame carries ${payloads[i]}`);
            }
        });
    }
    return faults;
}

// Frames Wireshark calls malformed or marks with an expert error. The server may send none. A
// client frame may be one only when it is nodes7's timer or counter write (transport size 0x09
// with the length in bits: 16 bytes claimed, 2 sent), and the server refused it with 0x81 0x04
// as a CPU does. Returns the list of faults.
function judgeBadFrames(program, file, port) {
    const frames = fieldsOf(program, file, port, '_ws.malformed || _ws.expert.severity >= error', [
        'frame.number', 'tcp.srcport', 'tcp.stream', 's7comm.header.rosctr', 's7comm.header.pduref',
        's7comm.param.func', 's7comm.param.item.area', 's7comm.data.transportsize',
        's7comm.data.length',
    ]);
    const errors = frames.length > 0 ? headerErrors(program, file, port) : new Map();
    const faults = [];
    let refusedClientFrames = 0;
    for (const [[frame], [source], [stream], rosctr, [reference], func, area, transport, length]
             of frames) {
        const nodes7TimerWrite = rosctr.join() === '1' && func.join() === '0x05' &&
                                 ['0x1c', '0x1d'].includes(area.join()) &&
                                 transport.join() === '0x09' && length.join() === '16';
        if (Number(source) === port) {
            faults.push(`frame ${frame}: the server sent a frame Wireshark finds faulty`);
        } else if (!nodes7TimerWrite) {
            faults.push(`frame ${frame}: a client frame Wireshark finds faulty`);
        } else if (errors.get(`${stream}/${reference}`) !== '0x81 0x04') {
            faults.push(`frame ${frame}: nodes7's timer or counter write got ` +
                        `${errors.get(`${stream}/${reference}`) ?? 'no header error'}`);
        } else {
            refusedClientFrames += 1;
        }
    }
    return { faults, refusedClientFrames };
}

async function main() {
    const tsharkPath = findProgram('tshark');
    const dumpcapPath = findProgram('dumpcap');
    if (!tsharkPath || !dumpcapPath) {
        skip('tshark and dumpcap are needed (Debian package tshark)');
        return;
    }
    const directory = mkdtempSync(join(tmpdir(), 'plcdouble-wire-'));
    try {
        const capture = join(directory, 'profiles.pcapng');
        const callLog = join(directory, 'calls.txt');
        const port = await freePort();
        const { child: dumpcap, messages } = await startCapture(dumpcapPath, port, capture);
        if (!dumpcap) {
            // As root a capture must work; anyone else may lack the permission.
            const root = process.getuid?.() === 0;
            const reason = `dumpcap cannot capture on lo${root ? '' : ' (not root)'}:\n` +
                           messages.trim().split('\n\n')[0];
            if (root) {
                fail(reason);
            } else {
                skip(reason);
            }
            return;
        }
        // A failed run still leaves a capture worth judging.
        try {
            for (const file of profileRuns) {
                const status = await runProfileFile(file, port, callLog);
                if (status !== 0) {
                    fail(`${file} exited with ${status}`);
                }
            }
        } finally {
            if (!(await stopCapture(dumpcap))) {
                fail('dumpcap did not stop cleanly');
                return;
            }
        }

        const { faults, refusedClientFrames } = judgeBadFrames(tsharkPath, capture, port);
        faults.push(...judgeLengths(tsharkPath, capture, port));
        if (faults.length > 0) {
            const listing = tshark(tsharkPath, capture, port, '-Y',
                                   '_ws.malformed || _ws.expert.severity >= error');
            const shown = faults.slice(0, 20).join('\n');
            fail(`${faults.length} faulty frames:\n${shown}\n` +
                 `Malformed or with expert errors:\n${listing.join('\n') || '(none)'}`);
        }
        const messagesOnWire = s7Messages(tsharkPath, capture, port);
        const requests = messagesOnWire.filter((message) => message.request);
        const responses = messagesOnWire.filter((message) => !message.request);
        const answered = new Set(responses.map((message) => message.key));
        const unanswered = requests.filter((message) => !answered.delete(message.key));
        const callCounts = existsSync(callLog) ? readFileSync(callLog, 'utf8').split('\n') : [];
        const calls = callCounts.filter((line) => line.length > 0)
                          .reduce((sum, line) => sum + Number(line), 0);
        console.log(`Captured ${messagesOnWire.length} S7 PDUs on port ${port}: ` +
                    `${requests.length} requests, ${responses.length} responses, for ${calls} ` +
                    `client calls; ${faults.length} faulty frames; ${refusedClientFrames} ` +
                    `malformed nodes7 timer/counter writes, each refused with 0x81 0x04`);
        if (requests.length === 0 || calls === 0) {
            fail('no S7 traffic was captured (is the s7comm dissector there?)');
        }
        if (unanswered.length > 0 || answered.size > 0) {
            fail(`requests without a response: ${unanswered.map((m) => m.key).join(' ')}; ` +
                 `responses without a request: ${[...answered].join(' ')}`);
        }
        if (requests.length < calls) {
            fail(`${requests.length} requests on the wire for ${calls} client calls`);
        }
    } finally {
        rmSync(directory, { recursive: true, force: true });
    }
}

try {
    await main();
} catch (error) {
    fail(error.stack ?? String(error));
}

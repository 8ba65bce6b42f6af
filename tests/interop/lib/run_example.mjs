// Runs one of the README's examples (tests/interop/examples) against the test server and returns
// what it printed, so the examples users copy are known to work.
import { execFile } from 'node:child_process';
import { fileURLToPath } from 'node:url';

const examplesDir = fileURLToPath(new URL('../examples/', import.meta.url));

export function runExample(name, port) {
    return new Promise((resolve, reject) => {
        execFile(process.execPath, [examplesDir + name], {
            env: { ...process.env, PLC_PORT: String(port) },
            timeout: 20000,
        }, (error, stdout, stderr) => {
            if (error) {
                reject(new Error(`${name} failed: ${error.message}\n${stderr}`));
            } else {
                resolve(stdout);
            }
        });
    });
}

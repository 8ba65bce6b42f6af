// Runs one of the README's examples (tests/interop/examples) against the test server and returns
// what it printed, so the examples users copy are known to work.
import { execFile } from 'node:child_process';
import { readFileSync } from 'node:fs';
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

// The example's code as README.md shows it: the file less its leading comment line.
export function exampleCode(name) {
    const text = readFileSync(examplesDir + name, 'utf8');
    return text.slice(text.indexOf('\n') + 1).trim();
}

export function readmeText() {
    return readFileSync(fileURLToPath(new URL('../../../README.md', import.meta.url)), 'utf8');
}

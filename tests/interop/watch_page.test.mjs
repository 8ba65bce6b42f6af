// The watch page in a real browser: Debian's chromium, headless, driven by puppeteer-core, against
// the real server with --http, and node-snap7 as the S7 client beside it. A word written over S7
// shows in the page's watch table; a value typed into the table is read back over S7; STOP pressed
// in the page is what the client's PlcStatus reports; the Program tab shows the running program
// and marks the line a refused download names. A process with several PLCs opens on the plant:
// its filter, a RUN/STOP button a row, and each PLC's own tabs. Leaves a screenshot of the watch
// table in PLCDOUBLE_SCREENSHOT (ctest: the build folder's watch-page.png).
//
//   node watch_page.test.mjs   (ctest test interop_watch_page; exits 77, skipped, without chromium)
import assert from 'node:assert/strict';
import { existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { spawn } from 'node:child_process';
import { after, before, describe, it } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';

import { freePort, host, startServer } from './lib/plc_server.mjs';
import { call, connectClient, errors, rejectsWithCode } from './lib/snap7_async.mjs';

const chromium = process.env.PLCDOUBLE_CHROMIUM || '/usr/bin/chromium';
if (!existsSync(chromium)) {
    console.log(`SKIPPED: no browser at ${chromium} (Debian: apt-get install chromium)`);
    process.exit(77);
}
const { default: puppeteer } = await import('puppeteer-core');

const S7CpuStatusRun = 0x08;
const S7CpuStatusStop = 0x04;
const liveLimitMs = 1000; // a value written over S7 must show within this
const watched = 'DB20.DBW0:INT';
const valueCell = `#watch-table tr[data-addr="${watched}"] [data-role="value"]`;

// Starts the server with the page on a free port; resolves once the API answers.
async function startWithPage(args, folder = mkdtempSync(join(tmpdir(), 'plcdouble-page-'))) {
    const config = join(folder, 'plc.toml');
    writeFileSync(config, 'cpu = "s7-300"\n[[db]]\nnumber = 20\nsize = 16\n');
    const httpPort = await freePort();
    const server = await startServer({
        args: ['--config', config, '--http', `${host}:${httpPort}`, ...args],
    });
    const url = `http://${host}:${httpPort}/`;
    for (const deadline = Date.now() + 5000; ; await sleep(50)) {
        const answer = await fetch(`${url}api/status`).catch(() => null);
        if (answer) {
            break;
        }
        assert.ok(Date.now() < deadline, `the page did not answer on ${url}:\n${server.output}`);
    }
    return { server, url, folder };
}

// Starts the server with the configuration's PLCs, the page on any free port, and a ready file;
// resolves with the page's address and the PLCs the file lists once it is there.
async function startPlant(configText, folder) {
    const config = join(folder, 'plant.toml');
    const readyFile = join(folder, 'ready.json');
    writeFileSync(config, configText);
    const child = spawn(process.env.PLCDOUBLE_BINARY,
                        ['--config', config, '--http', `${host}:0`, '--ready-file', readyFile,
                         '--color', 'never'], { stdio: ['ignore', 'ignore', 'pipe'] });
    let errors = '';
    child.stderr.on('data', (text) => { errors += text; });
    const stop = () => new Promise((resolve) => {
        if (child.exitCode !== null) {
            resolve(child.exitCode);
            return;
        }
        child.once('exit', resolve);
        child.kill('SIGTERM');
    });
    for (const deadline = Date.now() + 10000; !existsSync(readyFile); await sleep(20)) {
        if (child.exitCode !== null || Date.now() > deadline) {
            await stop();
            assert.fail(`the server did not get ready: ${errors}`);
        }
    }
    const ready = JSON.parse(readFileSync(readyFile, 'utf8'));
    return { url: `http://${ready.http.address}:${ready.http.port}/`, plcs: ready.plcs, stop };
}

async function openPage(browser, url) {
    const page = await browser.newPage();
    await page.setViewport({ width: 1100, height: 720 });
    const problems = [];
    page.on('pageerror', (error) => problems.push(error.message));
    await page.goto(url);
    return { page, problems };
}

async function addWatchRow(page, address) {
    await page.type('#watch-add-input', address);
    await page.keyboard.press('Enter');
    await page.waitForSelector(`#watch-table tr[data-addr="${address}"] [data-value]`);
}

// The value the page shows, as the JSON value the server sent.
function shownValue(page) {
    return page.$eval(valueCell, (cell) => cell.dataset.value);
}

describe('the watch page in chromium', () => {
    let browser;
    before(async () => {
        browser = await puppeteer.launch({
            executablePath: chromium,
            headless: true,
            // Root (CI containers) has no sandbox; the page is our own and served on loopback.
            args: ['--no-sandbox', '--disable-gpu'],
        });
    });
    after(async () => {
        await browser?.close();
    });

    it('shows S7 writes live, writes edits over S7 and stops the CPU', async () => {
        const { server, url, folder } = await startWithPage([]);
        const client = await connectClient(host, server.port);
        try {
            const { page, problems } = await openPage(browser, `${url}#watch`);
            await addWatchRow(page, watched);
            assert.equal(await shownValue(page), '0');

            await call(client, 'DBWrite', 20, 0, 2, Buffer.from([0xfe, 0xd4]));
            const started = Date.now();
            await page.waitForFunction((selector) =>
                document.querySelector(selector).dataset.value === '-300',
                { timeout: liveLimitMs }, valueCell);
            console.log(`S7 write shown after ${Date.now() - started} ms`);

            await page.click(valueCell);
            await page.keyboard.type('12345');
            await page.keyboard.press('Enter');
            await page.waitForFunction((selector) =>
                !document.querySelector(`${selector} input`) &&
                document.querySelector(selector).dataset.value === '12345',
                { timeout: liveLimitMs }, valueCell);
            const word = await call(client, 'DBRead', 20, 0, 2);
            assert.equal(word.readInt16BE(0), 12345);

            // Demo values beside it, one plotted, for the screenshot.
            for (const address of ['DB1.DBW2:INT', 'DB1.DBW0', 'DB1.DBX4.3', 'DB1.DBB128:STRING']) {
                await addWatchRow(page, address);
            }
            await page.click('#watch-table tr[data-addr="DB1.DBW2:INT"] [data-role="plot"]');
            await sleep(2500);
            await page.screenshot({ path: process.env.PLCDOUBLE_SCREENSHOT || 'watch-page.png' });

            // Two bytes written from the memory view, read back over S7.
            await page.click('[data-tab="memory"]');
            await page.click('[data-area="db/20"]');
            const byteCell = '#memory-view .byte[data-offset="2"]';
            await page.waitForFunction((selector) =>
                document.querySelector(selector)?.textContent === '00', {}, byteCell);
            await page.click(byteCell);
            await page.$eval('#memory-edit-hex', (field) => { field.value = 'BE EF'; });
            await page.click('#memory-edit button[type="submit"]');
            await page.waitForFunction((selector) =>
                document.querySelector(selector).textContent === 'BE',
                { timeout: liveLimitMs }, byteCell);
            assert.deepEqual(await call(client, 'DBRead', 20, 0, 4),
                             Buffer.from([0x30, 0x39, 0xbe, 0xef]));

            // The page's write logged in the console's write colour (magenta background).
            await page.click('[data-tab="traffic"]');
            await page.waitForFunction(() => [...document.querySelectorAll('#traffic-log .bg-5')]
                .some((line) => line.textContent.includes('DB20.DBW0:INT = 12345')));

            // A fault rule added in the page refuses the client's read and counts it; one click
            // switches it off. A rule the server cannot use shows the server's reason.
            await page.click('[data-tab="faults"]');
            await page.type('#faults-add-input', 'on=read, area=DB20, item_code=0x0A');
            await page.keyboard.press('Enter');
            await page.waitForSelector('#faults-table tr[data-rule] [data-role="toggle"].on');
            await rejectsWithCode(assert, call(client, 'DBRead', 20, 0, 2), errors.itemNotAvailable);
            await page.waitForFunction(() =>
                document.querySelector('#faults-table tr[data-rule]').cells[3].textContent === '1',
                { timeout: liveLimitMs });
            await page.click('#faults-table [data-role="toggle"]');
            await page.waitForSelector('#faults-table [data-role="toggle"]:not(.on)');
            assert.equal((await call(client, 'DBRead', 20, 0, 2)).readInt16BE(0), 12345);
            await page.type('#faults-add-input', 'on=read, item_code=0x0A, bogus=1');
            await page.keyboard.press('Enter');
            await page.waitForSelector('#faults-error:not([hidden])');
            assert.match(await page.$eval('#faults-error', (element) => element.textContent),
                         /bogus.*\(HTTP 400\)/);

            await page.click('[data-tab="overview"]');
            await page.click('#cpu-stop');
            await page.waitForFunction(() =>
                document.getElementById('overview-state').textContent === 'STOP',
                { timeout: liveLimitMs });
            assert.equal(await call(client, 'PlcStatus'), S7CpuStatusStop);
            await page.click('#cpu-run');
            await page.waitForFunction(() =>
                document.getElementById('overview-state').textContent === 'RUN',
                { timeout: liveLimitMs });
            assert.equal(await call(client, 'PlcStatus'), S7CpuStatusRun);
            assert.deepEqual(problems, []);
        } finally {
            client.Disconnect();
            await server.stop();
            rmSync(folder, { recursive: true, force: true });
        }
    });

    it('shows the program, marks the line a refused download names, downloads an edit', async () => {
        const folder = mkdtempSync(join(tmpdir(), 'plcdouble-page-'));
        const counting = 'local count = tag("DB20.DBW0:INT")\nfunction cycle(dt_ms)\n' +
            '    count.value = (count.value + 1) % 1000\nend\n';
        const broken = 'function cycle(dt_ms)\n    if then\nend\n';
        const file = join(folder, 'counting.lua');
        writeFileSync(file, counting);
        writeFileSync(join(folder, 'broken.lua'), broken);
        const { server, url } = await startWithPage(['--program', file], folder);
        try {
            const { page, problems } = await openPage(browser, `${url}#program`);
            await page.waitForFunction(() =>
                document.getElementById('program-state').textContent === 'running' &&
                document.getElementById('program-source').value !== '');
            assert.equal(await page.$eval('#program-file', (element) => element.textContent), file);
            assert.equal(await page.$eval('#program-source', (element) => element.value), counting);
            assert.equal(await page.$eval('#program-gutter', (element) => element.textContent),
                         '1\n2\n3\n4\n5');

            // A file opened is shown for editing; downloaded, the server's refusal names line 2.
            const input = await page.$('#program-open');
            await input.uploadFile(join(folder, 'broken.lua'));
            await page.waitForFunction((text) =>
                document.getElementById('program-source').value === text, {}, broken);
            await page.click('#program-download');
            await page.waitForSelector('#program-error:not([hidden])');
            assert.match(await page.$eval('#program-error', (element) => element.textContent),
                         /counting\.lua:2: unexpected symbol near 'then' \(HTTP 400\)/);
            assert.equal(await page.$eval('#program-mark',
                                          (mark) => mark.hidden ? 'hidden' : mark.dataset.line), '2');
            assert.equal(await page.$eval('#program-state', (element) => element.textContent),
                         'running');

            // The text edited in the page goes to the PLC, and its startup runs there.
            await page.$eval('#program-source', (field) => {
                field.value = 'local mark = tag("DB20.DBW4:INT")\n' +
                    'function startup() mark.value = 4321 end\nfunction cycle(dt_ms) end\n';
                field.dispatchEvent(new Event('input'));
            });
            await page.click('#program-download');
            await page.waitForSelector('#program-download[hidden]');
            assert.equal(await page.$eval('#program-error', (element) => element.hidden), true);
            assert.equal(await page.$eval('#program-mark', (element) => element.hidden), true);
            const answer = await fetch(`${url}api/watch?addr=DB20.DBW4:INT`);
            assert.equal((await answer.json()).values[0].value, 4321);
            assert.deepEqual(problems, []);
        } finally {
            await server.stop();
            rmSync(folder, { recursive: true, force: true });
        }
    });

    it('opens on the plant with several PLCs, filters it, stops one, shows each one\'s own data',
       async () => {
        const folder = mkdtempSync(join(tmpdir(), 'plcdouble-page-'));
        const { url, plcs: started, stop } = await startPlant(
            'cpu = "s7-1200"\nbind = "127.0.0.1"\n' +
            '[[plc]]\nname = "filler-{n}"\ncount = 3\nport = 0\n' +
            '[[plc]]\nname = "palletiser"\ncpu = "s7-1500"\nport = 0\n', folder);
        const plcsNow = async () => (await fetch(`${url}api/plcs`)).json();
        const shownRows = (page) => page.$$eval('#plant-table tbody tr:not([hidden])',
            (rows) => rows.map((row) => row.dataset.plc));
        const filterBy = async (page, text) => {
            await page.$eval('#plant-filter', (field, value) => {
                field.value = value;
                field.dispatchEvent(new Event('input'));
            }, text);
            return shownRows(page);
        };
        try {
            const { page, problems } = await openPage(browser, url);
            await page.waitForSelector('#plant-table tr[data-plc="palletiser"]');
            const plcs = await plcsNow();
            assert.deepEqual(plcs.map((plc) => plc.name),
                             ['filler-1', 'filler-2', 'filler-3', 'palletiser']);
            // The ports each PLC took, as the ready file names them.
            assert.deepEqual(plcs.map((plc) => [plc.name, plc.port]),
                             started.map((plc) => [plc.name, plc.port]));
            assert.equal(new Set(plcs.map((plc) => plc.port)).size, 4);
            assert.deepEqual(
                await page.$$eval('#plant-table tbody tr', (rows) => rows.map((row) =>
                    [...row.cells].slice(0, 4).map((cell) => cell.textContent))),
                plcs.map((plc) => [plc.name, plc.cpu, plc.state, `127.0.0.1:${plc.port}`]));

            // Text anywhere in the name, any case; a glob over the whole name.
            assert.deepEqual(await filterBy(page, 'LET'), ['palletiser']);
            assert.deepEqual(await filterBy(page, 'filler-?'), ['filler-1', 'filler-2', 'filler-3']);
            assert.deepEqual(await filterBy(page, '*-2'), ['filler-2']);
            assert.equal(await page.$eval('#plant-count', (count) => count.textContent),
                         '1 of 4 PLCs');
            assert.deepEqual(await filterBy(page, ''), plcs.map((plc) => plc.name));

            // STOP on one row stops that CPU alone, and the row shows it.
            await page.click('#plant-table tr[data-plc="filler-2"] button[data-role="cpu"]');
            await page.waitForFunction(() => document.querySelector(
                '#plant-table tr[data-plc="filler-2"] .state-badge').textContent === 'STOP');
            assert.deepEqual((await plcsNow()).map((plc) => plc.state),
                             ['RUN', 'STOP', 'RUN', 'RUN']);

            // Into filler-3: its tabs show its own CPU and its own memory.
            await fetch(`${url}api/plc/filler-3/watch`, {
                method: 'PUT', body: JSON.stringify({ addr: 'MW20:INT', value: 4321 }),
            });
            await page.click('#plant-table tr[data-plc="filler-3"] a');
            await page.waitForFunction(() =>
                document.getElementById('header-plc').textContent === 'filler-3' &&
                document.getElementById('overview-state').textContent === 'RUN');
            assert.equal(await page.evaluate(() => location.hash), '#plc/filler-3/overview');
            await page.click('[data-tab="watch"]');
            await addWatchRow(page, 'MW20:INT');
            assert.equal(await page.$eval('#watch-table tr[data-addr="MW20:INT"] [data-value]',
                                          (cell) => cell.dataset.value), '4321');

            // Back to the plant and into filler-2: stopped, and a watch table of its own.
            await page.click('#nav-plant');
            await page.waitForSelector('#tab-plant:not([hidden])');
            await page.click('#plant-table tr[data-plc="filler-2"] a');
            await page.waitForFunction(() =>
                document.getElementById('header-plc').textContent === 'filler-2' &&
                document.getElementById('overview-state').textContent === 'STOP');
            await page.click('[data-tab="watch"]');
            assert.equal(await page.$('#watch-table tbody tr'), null);
            await addWatchRow(page, 'MW20:INT');
            assert.equal(await page.$eval('#watch-table tr[data-addr="MW20:INT"] [data-value]',
                                          (cell) => cell.dataset.value), '0');
            assert.deepEqual(problems, []);
        } finally {
            await stop();
            rmSync(folder, { recursive: true, force: true });
        }
    });

    it('asks for the token once and offers no edits when read-only', async () => {
        const { server, url, folder } = await startWithPage(
            ['--http-token', 'shop-floor-7', '--http-read-only']);
        try {
            const { page, problems } = await openPage(browser, `${url}#watch`);
            await page.waitForSelector('#token-dialog[open]');
            await page.type('#token-input', 'shop-floor-7');
            await page.click('#token-ok');
            await page.waitForSelector('#read-only-badge:not([hidden])');
            await addWatchRow(page, 'DB20.DBB1');
            await page.click('#watch-table tr[data-addr="DB20.DBB1"] [data-role="value"]');
            assert.equal(await page.$('#watch-table input[data-role="edit"]'), null);
            for (const control of ['#cpu-stop', '#memory-edit', '#faults-add', '#program-edit']) {
                assert.equal(await page.$eval(control, (element) => element.checkVisibility()),
                             false, `${control} is shown on a read-only server`);
            }
            // Kept for the next visit: a reload asks no more.
            await page.reload();
            await page.waitForSelector('#read-only-badge:not([hidden])');
            assert.equal(await page.$('#token-dialog[open]'), null);
            assert.deepEqual(problems, []);
        } finally {
            await server.stop();
            rmSync(folder, { recursive: true, force: true });
        }
    });
});

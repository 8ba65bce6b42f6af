// Watch table: S7 addresses the user types, their values live (the server sends the ones that
// changed, ten times a second), a value changed in place as a client write would, and ticked
// numeric rows plotted over the last minute. The rows are kept in localStorage (a table for each
// PLC picked by name) and can be saved to and loaded from a JSON file.
import { api } from './api.js';
import { drawSteps, palette } from './chart.js';
import { formatValue, isText, parseInput, validRows } from './values.js';

const firstPlcKey = 'plcdouble.watch';
const historyMs = 60000;
const chartIntervalMs = 250;

let context;
let storageKey = firstPlcKey;
let readOnly = false;
let rows = []; // [{ addr, plot }] in the table's order
let streamAddresses = []; // the addresses of the open stream; its events index into this
const live = new Map(); // addr -> { type, value, error, history: [[time, value]] }

function load() {
    try {
        const saved = JSON.parse(localStorage.getItem(storageKey) || '{"rows": []}');
        rows = validRows(saved);
    } catch {
        rows = [];
    }
}

function save() {
    localStorage.setItem(storageKey, JSON.stringify({ rows }));
}

function plottable(addr) {
    const entry = live.get(addr);
    return entry && !entry.error && entry.type !== undefined && !isText(entry.type);
}

function rowElement(addr) {
    return document.querySelector(`#watch-table tr[data-addr="${CSS.escape(addr)}"]`);
}

function showValue(addr) {
    const row = rowElement(addr);
    const entry = live.get(addr);
    if (!row || !entry) {
        return;
    }
    row.querySelector('[data-role="type"]').textContent = entry.type || '';
    const cell = row.querySelector('[data-role="value"]');
    cell.classList.toggle('error', Boolean(entry.error));
    if (!cell.querySelector('input')) {
        cell.textContent = entry.error ? entry.error : formatValue(entry.type, entry.value);
        cell.dataset.value = entry.error ? '' : JSON.stringify(entry.value);
    }
    const plot = row.querySelector('[data-role="plot"]');
    plot.disabled = !plottable(addr);
}

function render() {
    const body = document.querySelector('#watch-table tbody');
    body.replaceChildren();
    rows.forEach((row, index) => {
        const tr = body.insertRow();
        tr.dataset.addr = row.addr;
        tr.innerHTML = '<td class="address"></td><td data-role="type"></td>' +
            '<td class="number value" data-role="value"></td>' +
            '<td><input type="checkbox" data-role="plot" title="Plot this value"></td>' +
            '<td><button type="button" data-role="remove" title="Remove this row">✕</button>' +
            '</td>';
        tr.cells[0].textContent = row.addr;
        const swatch = document.createElement('span');
        swatch.className = 'swatch';
        swatch.style.background = palette[index % palette.length];
        tr.cells[0].prepend(swatch);
        tr.classList.toggle('plotted', row.plot);
        const plot = tr.querySelector('[data-role="plot"]');
        plot.checked = row.plot;
        plot.addEventListener('change', () => {
            row.plot = plot.checked;
            tr.classList.toggle('plotted', row.plot);
            save();
            drawChart();
        });
        tr.querySelector('[data-role="remove"]').addEventListener('click', () => {
            rows = rows.filter((other) => other !== row);
            live.delete(row.addr);
            save();
            render();
            context.reopenStream();
        });
        showValue(row.addr);
    });
    document.getElementById('watch-empty').hidden = rows.length > 0;
    drawChart();
}

function record(addr, entry) {
    const now = Date.now();
    const current = live.get(addr) || { history: [] };
    const changed = current.type !== undefined && current.value !== entry.value;
    current.type = entry.type;
    current.value = entry.value;
    current.error = entry.error;
    if (!entry.error && (typeof entry.value === 'number' || typeof entry.value === 'boolean')) {
        current.history.push([now, Number(entry.value)]);
        // Keep one sample older than the window: it is the value at the window's left edge.
        while (current.history.length > 1 && current.history[1][0] < now - historyMs) {
            current.history.shift();
        }
    }
    live.set(addr, current);
    showValue(addr);
    const cell = rowElement(addr)?.querySelector('[data-role="value"]');
    if (changed && cell) {
        cell.classList.remove('changed');
        void cell.offsetWidth; // restarts the animation
        cell.classList.add('changed');
    }
}

function drawChart() {
    const canvas = document.getElementById('watch-chart');
    if (document.body.dataset.view !== 'watch') {
        return;
    }
    const series = [];
    const legend = document.getElementById('watch-legend');
    legend.replaceChildren();
    rows.forEach((row, index) => {
        const history = live.get(row.addr)?.history;
        if (!row.plot || !plottable(row.addr) || !history?.length) {
            return;
        }
        const color = palette[index % palette.length];
        series.push({ color, points: history });
        const item = document.createElement('span');
        item.innerHTML = '<span class="swatch"></span>';
        item.firstChild.style.background = color;
        item.append(row.addr);
        legend.append(item);
    });
    drawSteps(canvas, series, Date.now());
}

function startEdit(cell, addr) {
    if (readOnly || cell.querySelector('input')) {
        return;
    }
    const entry = live.get(addr);
    const input = document.createElement('input');
    input.dataset.role = 'edit';
    input.className = 'value-input';
    const known = entry && !entry.error && entry.value !== undefined;
    const booleanText = (value) => (value ? 'TRUE' : 'FALSE');
    input.value = !known ? ''
        : typeof entry.value === 'boolean' ? booleanText(entry.value) : String(entry.value);
    const finish = () => {
        input.remove();
        showValue(addr);
    };
    input.addEventListener('keydown', async (event) => {
        if (event.key === 'Escape') {
            finish();
        } else if (event.key === 'Enter') {
            const error = document.getElementById('watch-error');
            let value;
            try {
                value = parseInput(input.value, live.get(addr)?.type);
            } catch (problem) {
                context.showError(error, new Error(`${addr}: ${problem.message}`));
                return;
            }
            try {
                await api('PUT', '/api/watch', { addr, value });
                context.showError(error, null);
                finish();
            } catch (problem) {
                context.showError(error, problem); // the server's text names the address
            }
        }
    });
    input.addEventListener('blur', () => setTimeout(finish, 150));
    cell.replaceChildren(input);
    input.focus();
    input.select();
}

async function add(event) {
    event.preventDefault();
    const field = document.getElementById('watch-add-input');
    const error = document.getElementById('watch-error');
    const addr = field.value.trim().toUpperCase();
    if (rows.some((row) => row.addr === addr)) {
        context.showError(error, new Error(`${addr} is in the table already`));
        return;
    }
    try {
        // Asked once first, so a typing mistake is named here instead of becoming a row. A block
        // that does not exist yet (404) may still come: that row shows why it has no value.
        const answer = await api('GET', `/api/watch?addr=${encodeURIComponent(addr)}`);
        rows.push({ addr, plot: false });
        record(addr, answer.values[0]);
        context.showError(error, null);
    } catch (problem) {
        if (problem.status !== 404) {
            context.showError(error, problem);
            return;
        }
        rows.push({ addr, plot: false });
        record(addr, { addr, error: problem.message });
    }
    field.value = '';
    save();
    render();
    context.reopenStream();
}

function exportTable() {
    const blob = new Blob([JSON.stringify({ rows }, null, 2)], { type: 'application/json' });
    const link = document.createElement('a');
    link.href = URL.createObjectURL(blob);
    link.download = 'watch-table.json';
    link.click();
    URL.revokeObjectURL(link.href);
}

async function importTable(event) {
    const file = event.target.files[0];
    event.target.value = '';
    const error = document.getElementById('watch-error');
    try {
        rows = validRows(JSON.parse(await file.text()));
        context.showError(error, null);
    } catch (problem) {
        context.showError(error, new Error(`${file.name}: ${problem.message}`));
        return;
    }
    live.clear();
    save();
    render();
    context.reopenStream();
}

export function init(pageContext) {
    context = pageContext;
    load();
    render();
    document.getElementById('watch-add').addEventListener('submit', add);
    document.getElementById('watch-export').addEventListener('click', exportTable);
    document.getElementById('watch-import').addEventListener('change', importTable);
    document.querySelector('#watch-table tbody').addEventListener('click', (event) => {
        const cell = event.target.closest('[data-role="value"]');
        if (cell) {
            startEdit(cell, cell.closest('tr').dataset.addr);
        }
    });
    setInterval(() => {
        if (rows.some((row) => row.plot)) {
            drawChart();
        }
    }, chartIntervalMs);
}

export function shown() {
    drawChart();
}

// Another PLC is shown (name null: the first, under the paths without a name): its own table.
export function plcChanged(name) {
    storageKey = name === null ? firstPlcKey : `${firstPlcKey}.${name}`;
    live.clear();
    streamAddresses = [];
    context.showError(document.getElementById('watch-error'), null);
    load();
    render();
}

export function addresses() {
    streamAddresses = rows.map((row) => row.addr);
    return streamAddresses;
}

export function showStatus(status) {
    readOnly = Boolean(status.readOnly);
    document.getElementById('watch-table').classList.toggle('editable', !readOnly);
}

export function showValues(event) {
    for (const entry of event.values) {
        const addr = streamAddresses[entry.index];
        if (addr !== undefined && rows.some((row) => row.addr === addr)) {
            record(addr, entry);
        }
    }
}

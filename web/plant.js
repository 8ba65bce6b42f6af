// Plant: every PLC of the process in one table (name, CPU, RUN or STOP, address, connections,
// requests in the last second), narrowed by a filter on the name, with a RUN/STOP button a row.
// The list is asked for once a second while the view shows. Rows are built in one go when the
// PLCs change and otherwise only their changed cells are written, so a thousand PLCs cost little;
// one listener on the table serves every button.
import { api } from './api.js';

const refreshMs = 1000;

let context;
let timer = null;
let visible = false;
let signature = ''; // the names the rows were built for
let rows = new Map(); // name -> { row, cells, state }
let filter = '';

const element = (id) => document.getElementById(id);

// A glob (filler-*, line-?) matches the whole name; other text anywhere in it, any case.
export function nameMatcher(text) {
    const wanted = text.trim();
    if (wanted === '') {
        return () => true;
    }
    if (/[*?]/.test(wanted)) {
        const pattern = wanted.replace(/[.+^${}()|[\]\\]/g, '\\$&')
            .replace(/\*/g, '.*').replace(/\?/g, '.');
        const glob = new RegExp(`^${pattern}$`, 'i');
        return (name) => glob.test(name);
    }
    const lower = wanted.toLowerCase();
    return (name) => name.toLowerCase().includes(lower);
}

function applyFilter() {
    const matches = nameMatcher(filter);
    let shown = 0;
    for (const [name, entry] of rows) {
        entry.row.hidden = !matches(name);
        shown += entry.row.hidden ? 0 : 1;
    }
    element('plant-count').textContent = shown === rows.size
        ? `${rows.size.toLocaleString()} PLCs`
        : `${shown.toLocaleString()} of ${rows.size.toLocaleString()} PLCs`;
}

function setText(cell, text) {
    if (cell.textContent !== text) {
        cell.textContent = text;
    }
}

function build(plcs) {
    const body = document.querySelector('#plant-table tbody');
    const fragment = document.createDocumentFragment();
    rows = new Map();
    for (const plc of plcs) {
        const row = document.createElement('tr');
        row.dataset.plc = plc.name;
        row.innerHTML = '<td><a></a></td><td></td><td><span class="state-badge"></span></td>' +
            '<td class="address"></td><td class="number"></td><td class="number"></td>' +
            '<td><button type="button" class="edit-control" data-role="cpu"></button></td>';
        const link = row.cells[0].firstChild;
        link.href = `#plc/${encodeURIComponent(plc.name)}/overview`;
        link.textContent = plc.name;
        rows.set(plc.name, {
            row,
            cpu: row.cells[1],
            state: row.cells[2].firstChild,
            address: row.cells[3],
            connections: row.cells[4],
            rate: row.cells[5],
            button: row.cells[6].firstChild,
        });
        fragment.append(row);
    }
    body.replaceChildren(fragment);
    const readOnly = document.body.classList.contains('read-only');
    for (const entry of rows.values()) {
        entry.button.disabled = readOnly;
    }
    applyFilter();
}

function show(plcs) {
    const names = plcs.map((plc) => plc.name).join('\n');
    if (names !== signature) {
        signature = names;
        build(plcs);
    }
    for (const plc of plcs) {
        const entry = rows.get(plc.name);
        setText(entry.cpu, plc.cpu);
        setText(entry.state, plc.state);
        entry.state.dataset.state = plc.state;
        setText(entry.address, `${plc.address}:${plc.port}`);
        setText(entry.connections, String(plc.connections));
        setText(entry.rate, plc.requestsPerSecond.toLocaleString());
        // The button does what the state is not: STOP a running CPU, RUN a stopped one.
        const action = plc.state === 'RUN' ? 'STOP' : 'RUN';
        if (entry.button.dataset.state !== action) {
            entry.button.textContent = action;
            entry.button.dataset.state = action;
        }
    }
}

async function refresh() {
    clearTimeout(timer);
    try {
        show(await api('GET', '/api/plcs'));
        element('stream-lost').hidden = true;
    } catch (problem) {
        if (problem.status === 401) {
            return; // the token question was cancelled: app.js says so
        }
        element('stream-lost').hidden = false;
    }
    if (visible) {
        timer = setTimeout(refresh, refreshMs);
    }
}

async function setState(name, state) {
    const error = element('plant-error');
    try {
        await api('POST', `/api/plc/${encodeURIComponent(name)}/cpu`, { state });
        context.showError(error, null);
    } catch (problem) {
        context.showError(error, new Error(`${name}: ${problem.message}`));
    }
    refresh();
}

export function init(pageContext) {
    context = pageContext;
    element('plant-filter').addEventListener('input', (event) => {
        filter = event.target.value;
        applyFilter();
    });
    document.querySelector('#plant-table tbody').addEventListener('click', (event) => {
        const button = event.target.closest('button[data-role="cpu"]');
        if (button) {
            setState(button.closest('tr').dataset.plc, button.dataset.state);
        }
    });
}

// Called whenever the view changes: the list is asked for once a second while the plant shows.
export function shown(isShown) {
    if (isShown === visible) {
        return;
    }
    visible = isShown;
    clearTimeout(timer);
    if (visible) {
        refresh();
    }
}

// The list as the page got it at its start.
export function showPlcs(plcs) {
    show(plcs);
}

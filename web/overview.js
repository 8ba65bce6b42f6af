// Overview: the CPU (profile, RUN or STOP, with buttons to change it, and its program's state),
// the clients connected and the requests per second over the last minute.
import { api } from './api.js';
import { drawBars } from './chart.js';

let context;
let lastCounts = [];

function formatIdle(milliseconds) {
    if (milliseconds < 1000) {
        return 'just now';
    }
    const seconds = Math.round(milliseconds / 1000);
    if (seconds < 120) {
        return `${seconds} s ago`;
    }
    return `${Math.round(seconds / 60)} min ago`;
}

function cell(row, text, className) {
    const td = row.insertCell();
    td.textContent = text;
    if (className) {
        td.className = className;
    }
}

function showConnections(connections) {
    const body = document.querySelector('#connections tbody');
    body.replaceChildren();
    for (const connection of connections) {
        const row = body.insertRow();
        row.dataset.slot = connection.slot;
        cell(row, connection.slot);
        cell(row, connection.peer);
        cell(row, connection.kind);
        cell(row, connection.requests.toLocaleString(), 'number');
        cell(row, connection.bytesIn.toLocaleString(), 'number');
        cell(row, connection.bytesOut.toLocaleString(), 'number');
        cell(row, formatIdle(connection.idleMs), 'number');
    }
    document.getElementById('connections-none').hidden = connections.length > 0;
}

async function setState(state) {
    const error = document.getElementById('cpu-error');
    try {
        await api('POST', '/api/cpu', { state });
        context.showError(error, null);
        context.refreshStatus();
    } catch (problem) {
        context.showError(error, problem);
    }
}

export function init(pageContext) {
    context = pageContext;
    document.getElementById('cpu-run').addEventListener('click', () => setState('RUN'));
    document.getElementById('cpu-stop').addEventListener('click', () => setState('STOP'));
    window.addEventListener('resize', () => drawBars(document.getElementById('rps-chart'),
                                                     lastCounts));
}

// Another PLC is shown: the last one's minute of requests is not its.
export function plcChanged() {
    lastCounts = [];
    context.showError(document.getElementById('cpu-error'), null);
    document.querySelector('#connections tbody').replaceChildren();
}

export function showStatus(status) {
    document.getElementById('overview-cpu').textContent = status.cpu;
    const state = document.getElementById('overview-state');
    state.textContent = status.state;
    state.dataset.state = status.state;
    document.getElementById('overview-program').textContent = status.program ?? '–';
    document.getElementById('overview-strict').textContent = status.strict ? 'yes' : 'no';
    document.getElementById('overview-plus').textContent = String(status.s7CommPlusRefused ?? 0);
    document.getElementById('cpu-run').classList.toggle('current', status.state === 'RUN');
    document.getElementById('cpu-stop').classList.toggle('current', status.state === 'STOP');
    showConnections(status.connections || []);
    lastCounts = status.requestsPerSecond || [];
    if (document.body.dataset.view === 'overview') {
        drawBars(document.getElementById('rps-chart'), lastCounts);
    }
}

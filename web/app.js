// The page's start: tabs, the first status, and the one event stream every part listens to. The
// stream is opened again whenever what it carries changes (the watched addresses, the viewed
// memory area); the server then sends everything afresh.
import { api, openEvents } from './api.js';
import * as faults from './faults.js';
import * as memory from './memory.js';
import * as overview from './overview.js';
import * as program from './program.js';
import * as traffic from './traffic.js';
import * as watch from './watch.js';

const tabs = ['overview', 'memory', 'watch', 'traffic', 'faults', 'program'];
const retryMs = 2000;

let stream = null;
let reopenTimer = null;
let logLinesReplace = true; // the first log event of a stream brings the last lines again

// Shows an error's text in a paragraph, or hides the paragraph when error is null.
export function showError(element, error) {
    element.hidden = error === null;
    element.textContent = error === null ? '' : error.message;
}

function showTab(name) {
    const current = tabs.includes(name) ? name : 'overview';
    for (const tab of tabs) {
        document.querySelector(`[data-panel="${tab}"]`).hidden = tab !== current;
        document.querySelector(`[data-tab="${tab}"]`).classList.toggle('active', tab === current);
    }
    document.body.dataset.view = current;
    if (current === 'memory') {
        memory.shown();
    }
    if (current === 'watch') {
        watch.shown();
    }
    program.shown(current === 'program');
}

function showStatus(status) {
    const readOnly = Boolean(status.readOnly);
    document.body.classList.toggle('read-only', readOnly);
    for (const control of document.querySelectorAll('.edit button, .edit input, .edit-control')) {
        control.disabled = readOnly;
    }
    document.getElementById('read-only-badge').hidden = !readOnly;
    document.getElementById('header-cpu').textContent = status.cpu;
    const badge = document.getElementById('header-state');
    badge.textContent = status.state;
    badge.dataset.state = status.state;
    overview.showStatus(status);
    memory.showStatus(status);
    watch.showStatus(status);
}

function lost(readyState) {
    document.getElementById('stream-lost').hidden = false;
    // EventSource retries a dropped stream itself; one refused outright (a 401 after the token
    // changed, the server restarted with other options) is closed and needs a new start.
    if (readyState === EventSource.CLOSED) {
        reopenSoon(retryMs);
    }
}

function openStream() {
    stream?.close();
    logLinesReplace = true;
    stream = openEvents({ addresses: watch.addresses(), memory: memory.viewedArea() }, {
        open: () => {
            document.getElementById('stream-lost').hidden = true;
            logLinesReplace = true;
        },
        lost,
        status: showStatus,
        values: watch.showValues,
        memory: memory.showMemory,
        faults: faults.showFaults,
        log: (event) => {
            traffic.showLog(event, logLinesReplace);
            logLinesReplace = false;
        },
    });
}

// Reopens the stream after a short pause, so several changes in a row open it once. A status
// request first brings up the token question if the server wants one.
function reopenSoon(delayMs = 50) {
    clearTimeout(reopenTimer);
    reopenTimer = setTimeout(async () => {
        try {
            showStatus(await api('GET', '/api/status'));
        } catch (error) {
            if (!needsToken(error)) {
                reopenSoon(retryMs);
            }
            return;
        }
        openStream();
    }, delayMs);
}

// The token question was cancelled: asking again every few seconds would only nag.
function needsToken(error) {
    if (error.status !== 401) {
        return false;
    }
    stream?.close();
    const banner = document.getElementById('stream-lost');
    banner.textContent = 'this server needs its token: reload the page to type it';
    banner.hidden = false;
    return true;
}

async function start() {
    const context = {
        reopenStream: () => reopenSoon(),
        showError,
        refreshStatus: async () => showStatus(await api('GET', '/api/status')),
    };
    overview.init(context);
    memory.init(context);
    watch.init(context);
    traffic.init(context);
    faults.init(context);
    program.init(context);
    window.addEventListener('hashchange', () => showTab(location.hash.slice(1)));
    showTab(location.hash.slice(1));
    try {
        showStatus(await api('GET', '/api/status'));
    } catch (error) {
        if (needsToken(error)) {
            return;
        }
        document.getElementById('stream-lost').hidden = false;
    }
    faults.refresh();
    openStream();
}

start();

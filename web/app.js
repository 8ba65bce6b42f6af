// The page's start: tabs, the first status, and the one event stream every part listens to. The
// stream is opened again whenever what it carries changes (the watched addresses, the viewed
// memory area, the PLC shown); the server then sends everything afresh. A process with more than
// one PLC opens on the plant (every PLC in one table); a PLC picked there shows in the same tabs,
// every request going to its own paths (/api/plc/NAME/...). Addresses: #plant, #plc/NAME/TAB, and
// #TAB for the first PLC.
import { api, openEvents, selectPlc } from './api.js';
import * as faults from './faults.js';
import * as memory from './memory.js';
import * as overview from './overview.js';
import * as plant from './plant.js';
import * as program from './program.js';
import * as traffic from './traffic.js';
import * as watch from './watch.js';

const tabs = ['overview', 'memory', 'watch', 'traffic', 'faults', 'program'];
const retryMs = 2000;

let stream = null;
let reopenTimer = null;
let logLinesReplace = true; // the first log event of a stream brings the last lines again
let knownPlcs = new Set(); // every PLC's name, as /api/plcs gave them at the start
let hasPlant = false; // more than one PLC: the plant view is there
let shownPlc; // the PLC the tabs show: a name, null for the first PLC; undefined before any

const element = (id) => document.getElementById(id);

// Shows an error's text in a paragraph, or hides the paragraph when error is null.
export function showError(shownIn, error) {
    shownIn.hidden = error === null;
    shownIn.textContent = error === null ? '' : error.message;
}

// Where the address points: the plant, or a PLC (null: the first) and one of its tabs.
function route() {
    const hash = decodeURIComponent(location.hash.slice(1));
    const named = /^plc\/([^/]+)(?:\/(\w*))?$/.exec(hash);
    if (named) {
        return { plc: named[1], tab: named[2] || 'overview' };
    }
    if (hasPlant && (hash === '' || hash === 'plant')) {
        return { plant: true };
    }
    return { plc: null, tab: hash };
}

function showTab(name) {
    const current = tabs.includes(name) ? name : 'overview';
    element('tab-plant').hidden = true;
    plant.shown(false);
    element('nav-plant').classList.remove('active');
    for (const tab of tabs) {
        document.querySelector(`[data-panel="${tab}"]`).hidden = tab !== current;
        const link = document.querySelector(`[data-tab="${tab}"]`);
        link.hidden = false;
        link.classList.toggle('active', tab === current);
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

// The plant has no PLC's event stream: it asks for the list once a second instead.
function showPlant() {
    clearTimeout(reopenTimer);
    stream?.close();
    stream = null;
    program.shown(false);
    for (const tab of tabs) {
        document.querySelector(`[data-panel="${tab}"]`).hidden = true;
        document.querySelector(`[data-tab="${tab}"]`).hidden = true;
    }
    element('tab-plant').hidden = false;
    element('nav-plant').classList.add('active');
    document.body.dataset.view = 'plant';
    element('header-plc').hidden = true;
    element('header-state').hidden = true;
    element('header-cpu').textContent = `${knownPlcs.size.toLocaleString()} PLCs`;
    plant.shown(true);
}

// Points the tabs at another PLC: what they showed of the last one goes, and the stream is
// opened for the new one.
function enterPlc(name) {
    const fresh = shownPlc === undefined && name === null; // as with one PLC: nothing to undo
    shownPlc = name;
    selectPlc(name);
    for (const tab of tabs) {
        document.querySelector(`[data-tab="${tab}"]`).href =
            name === null ? `#${tab}` : `#plc/${encodeURIComponent(name)}/${tab}`;
    }
    element('header-state').hidden = false;
    if (fresh) {
        return;
    }
    // The last PLC's events must not reach the new one's tabs.
    stream?.close();
    stream = null;
    memory.plcChanged();
    watch.plcChanged(name);
    overview.plcChanged();
    program.plcChanged();
    faults.refresh();
    reopenSoon(0);
}

function navigate() {
    const place = route();
    if (place.plant) {
        showPlant();
        return;
    }
    if (place.plc !== null && !knownPlcs.has(place.plc)) {
        location.hash = hasPlant ? 'plant' : 'overview';
        return;
    }
    if (place.plc !== shownPlc) {
        enterPlc(place.plc);
    }
    showTab(place.tab);
    if (stream === null) {
        reopenSoon(0); // back from the plant
    }
}

function showStatus(status) {
    const readOnly = Boolean(status.readOnly);
    document.body.classList.toggle('read-only', readOnly);
    for (const control of document.querySelectorAll('.edit button, .edit input, .edit-control')) {
        control.disabled = readOnly;
    }
    element('read-only-badge').hidden = !readOnly;
    if (document.body.dataset.view === 'plant') {
        return; // a PLC's status that arrived after the plant was opened
    }
    element('header-plc').hidden = !hasPlant;
    element('header-plc').textContent = status.name ?? '';
    element('header-cpu').textContent = status.cpu;
    const badge = element('header-state');
    badge.textContent = status.state;
    badge.dataset.state = status.state;
    overview.showStatus(status);
    memory.showStatus(status);
    watch.showStatus(status);
}

function lost(readyState) {
    element('stream-lost').hidden = false;
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
            element('stream-lost').hidden = true;
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
        if (document.body.dataset.view === 'plant') {
            return;
        }
        try {
            showStatus(await api('GET', '/api/status'));
        } catch (error) {
            if (!needsToken(error)) {
                reopenSoon(retryMs);
            }
            return;
        }
        if (document.body.dataset.view !== 'plant') {
            openStream();
        }
    }, delayMs);
}

// The token question was cancelled: asking again every few seconds would only nag.
function needsToken(error) {
    if (error.status !== 401) {
        return false;
    }
    stream?.close();
    const banner = element('stream-lost');
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
    plant.init(context);
    window.addEventListener('hashchange', navigate);
    // The first PLC's tab shows at once, as when the process had only it; a PLC named in the
    // address, or the plant, once the list of PLCs is known.
    const first = route();
    if (first.plc === null) {
        enterPlc(null);
        showTab(first.tab);
    }
    try {
        const plcs = await api('GET', '/api/plcs');
        knownPlcs = new Set(plcs.map((plc) => plc.name));
        hasPlant = plcs.length > 1;
        element('nav-plant').hidden = !hasPlant;
        if (hasPlant) {
            plant.showPlcs(plcs);
        }
        // The first PLC's status: its tabs, or for the plant whether the server is read-only.
        showStatus(await api('GET', '/api/status'));
    } catch (error) {
        if (needsToken(error)) {
            return;
        }
        element('stream-lost').hidden = false;
    }
    const place = route();
    if (place.plc === null && !place.plant) {
        faults.refresh();
        openStream();
    } else {
        navigate();
    }
}

start();

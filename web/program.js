// Program: the PLC's Lua program, its state (with the line it stopped at), its cycle times and
// its source with line numbers. A new program is typed into the source or opened from a file,
// and downloaded as into a CPU: the server takes it when it compiles, and otherwise names the
// line, which is marked here.
import { api } from './api.js';

const refreshMs = 1000;
const lineHeightPx = 18; // style.css: .code's line-height, which the marks are placed by

let context;
let timer = null;
let visible = false;
let editing = false;
let sourceStale = true; // read the source at the next state
let lastCycles = 0;
let lastState = '';
let markedLine = 0;

const element = (id) => document.getElementById(id);

function showProblem(problem) {
    context.showError(element('program-error'), problem);
}

function formatMs(value) {
    return `${value.toFixed(3)} ms`;
}

// Line numbers for as many lines as the text has; rebuilt only when the count changes.
function numberLines(text) {
    const count = text.split('\n').length;
    const gutter = element('program-gutter');
    if (Number(gutter.dataset.lines) !== count) {
        gutter.dataset.lines = count;
        gutter.textContent = Array.from({ length: count }, (_, i) => i + 1).join('\n');
    }
}

function placeMark() {
    const mark = element('program-mark');
    const source = element('program-source');
    mark.hidden = markedLine === 0;
    const top = (markedLine - 1) * lineHeightPx - source.scrollTop;
    mark.style.transform = `translateY(${top}px)`;
}

// Marks a line of the source (0: none) and scrolls a newly marked one into view.
function markLine(line) {
    const moved = markedLine !== Math.max(line, 0);
    markedLine = Math.max(line, 0);
    element('program-mark').dataset.line = markedLine;
    if (moved && markedLine > 0) {
        const source = element('program-source');
        const top = (markedLine - 1) * lineHeightPx;
        const bottom = source.scrollTop + source.clientHeight - 2 * lineHeightPx;
        if (top < source.scrollTop || top > bottom) {
            source.scrollTop = Math.max(0, top - 4 * lineHeightPx);
        }
    }
    placeMark();
}

function showText(text) {
    const source = element('program-source');
    source.value = text;
    numberLines(text);
    element('program-gutter').scrollTop = source.scrollTop;
    placeMark();
}

function setEditing(on) {
    editing = on;
    const source = element('program-source');
    source.readOnly = !on;
    element('program-code').classList.toggle('editing', on);
    element('program-edit').hidden = on;
    element('program-download').hidden = !on;
    element('program-cancel').hidden = !on;
    if (on) {
        source.focus();
    }
}

async function loadSource() {
    try {
        showText(await api('GET', '/api/program/source'));
    } catch (problem) {
        // No program yet: an empty source to type one into.
        showText('');
        if (problem.status !== 404) {
            showProblem(problem);
        }
    }
}

function showProgram(program) {
    element('program-file').textContent = program.file ?? '(downloaded)';
    const state = element('program-state');
    state.textContent = program.state;
    state.dataset.state = program.state;
    element('program-cycles').textContent = program.cycles.toLocaleString();
    element('program-timing').textContent =
        `every ${program.cycleTime} ms, monitoring ${program.maxCycleTime} ms`;
    for (const which of ['last', 'min', 'avg', 'max']) {
        element(`program-${which}`).textContent = formatMs(program.cycleMs[which]);
    }
    element('program-late').textContent = formatMs(program.startLateMs.p99);
    const fault = program.error;
    const faultText = element('program-fault');
    faultText.hidden = fault === null;
    faultText.textContent = fault === null ? ''
        : fault.line > 0 ? `line ${fault.line}: ${fault.text}` : fault.text;
    const none = program.state === 'none';
    element('program-none').hidden = !none;
    // A new program (from another page, or a restart) begins its cycle count anew.
    if (program.cycles < lastCycles || (lastState === 'none') !== none) {
        sourceStale = true;
    }
    lastCycles = program.cycles;
    lastState = program.state;
    if (!editing) {
        markLine(fault ? fault.line : 0);
        if (sourceStale) {
            sourceStale = false;
            loadSource();
        }
    }
}

async function refresh() {
    clearTimeout(timer);
    try {
        showProgram(await api('GET', '/api/program'));
    } catch {
        // The banner about the lost connection says it; the next refresh tries again.
    }
    if (visible) {
        timer = setTimeout(refresh, refreshMs);
    }
}

async function download() {
    let program;
    try {
        program = await api('PUT', '/api/program', element('program-source').value);
    } catch (problem) {
        showProblem(problem);
        markLine(problem.answer?.line ?? 0);
        return;
    }
    showProblem(null);
    setEditing(false);
    sourceStale = true;
    showProgram(program);
}

async function openFile(event) {
    const [file] = event.target.files;
    event.target.value = ''; // the same file may be opened again after a change
    if (!file) {
        return;
    }
    showText(await file.text());
    showProblem(null);
    setEditing(true);
    markLine(0);
}

export function init(pageContext) {
    context = pageContext;
    const source = element('program-source');
    source.addEventListener('scroll', () => {
        element('program-gutter').scrollTop = source.scrollTop;
        placeMark();
    });
    source.addEventListener('input', () => numberLines(source.value));
    element('program-edit').addEventListener('click', () => setEditing(true));
    element('program-cancel').addEventListener('click', () => {
        setEditing(false);
        showProblem(null);
        sourceStale = true;
        refresh();
    });
    element('program-download').addEventListener('click', download);
    element('program-open').addEventListener('change', openFile);
}

// Another PLC is shown: its program is read afresh, and an edit of the last one's is dropped.
export function plcChanged() {
    setEditing(false);
    showProblem(null);
    markLine(0);
    showText('');
    sourceStale = true;
    lastCycles = 0;
    lastState = '';
    if (visible) {
        refresh();
    }
}

// Called whenever the tabs change: the state is asked for once a second while this tab shows.
export function shown(isShown) {
    if (isShown === visible) {
        return;
    }
    visible = isShown;
    clearTimeout(timer);
    if (visible) {
        sourceStale = true;
        refresh();
    }
}

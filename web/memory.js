// Memory: the data blocks and areas that exist, and one of them in hex and as text, a page of
// bytes at a time. The server sends the whole block when it changes; bytes that differ from the
// last copy flash. A byte or a range is written from the form under the view.
import { api } from './api.js';

const bytesPerRow = 16;
const bytesPerPage = 512;

let context;
let listSignature = '';
let viewed = null; // { path: 'db/5', label: 'DB5', size }
let bytes = new Uint8Array(0);
let pageStart = 0;
let selection = null; // { anchor, end } byte offsets, inclusive

function hexByte(value) {
    return value.toString(16).toUpperCase().padStart(2, '0');
}

// Latin-1 as the PLC keeps text; control characters show as a dot.
function textByte(value) {
    return value >= 0x20 && value !== 0x7f && (value < 0x80 || value >= 0xa0)
        ? String.fromCharCode(value)
        : '·';
}

function showTitle() {
    document.getElementById('memory-title').textContent = `${viewed.label} – ${viewed.size} bytes`;
}

function pick(entry) {
    viewed = entry;
    bytes = new Uint8Array(0);
    pageStart = 0;
    selection = null;
    context.showError(document.getElementById('memory-error'), null);
    showTitle();
    for (const button of document.querySelectorAll('[data-area]')) {
        button.classList.toggle('active', button.dataset.area === entry.path);
    }
    renderPage();
    context.reopenStream();
}

function listEntry(list, entry) {
    const item = document.createElement('li');
    const button = document.createElement('button');
    button.type = 'button';
    button.dataset.area = entry.path;
    button.innerHTML = '<span></span><span class="muted"></span>';
    button.children[0].textContent = entry.label;
    button.children[1].textContent = `${entry.size} bytes`;
    button.classList.toggle('active', viewed?.path === entry.path);
    button.addEventListener('click', () => pick(entry));
    item.append(button);
    list.append(item);
}

function entries(status) {
    const blocks = (status.dataBlocks || []).map((block) => ({
        path: `db/${block.number}`, label: `DB${block.number}`, size: block.size,
    }));
    const areas = (status.areas || []).map((area) => ({
        path: area.path, label: area.name, size: area.size,
    }));
    return { blocks, areas };
}

function renderPage() {
    const view = document.getElementById('memory-view');
    view.replaceChildren();
    const size = viewed ? viewed.size : 0;
    const end = Math.min(size, pageStart + bytesPerPage);
    document.getElementById('memory-range').textContent =
        size > 0 ? `bytes ${pageStart}–${end - 1} of ${size}` : '';
    document.getElementById('memory-previous').disabled = pageStart === 0;
    document.getElementById('memory-next').disabled = end >= size;
    for (let rowStart = pageStart; rowStart < end; rowStart += bytesPerRow) {
        const row = document.createElement('div');
        row.className = 'hex-row';
        const offset = document.createElement('span');
        offset.className = 'offset';
        offset.textContent = String(rowStart);
        const hex = document.createElement('span');
        hex.className = 'hex';
        const text = document.createElement('span');
        text.className = 'text';
        for (let index = rowStart; index < Math.min(end, rowStart + bytesPerRow); index++) {
            const known = index < bytes.length;
            const byte = document.createElement('span');
            byte.className = 'byte';
            byte.dataset.offset = index;
            byte.textContent = known ? hexByte(bytes[index]) : '..';
            const character = document.createElement('span');
            character.dataset.offset = index;
            character.textContent = known ? textByte(bytes[index]) : ' ';
            hex.append(byte);
            text.append(character);
        }
        row.append(offset, hex, text);
        view.append(row);
    }
    showSelection();
}

function showSelection() {
    const [low, high] = selection
        ? [Math.min(selection.anchor, selection.end), Math.max(selection.anchor, selection.end)]
        : [-1, -2];
    for (const cell of document.querySelectorAll('#memory-view [data-offset]')) {
        const offset = Number(cell.dataset.offset);
        cell.classList.toggle('selected', offset >= low && offset <= high);
    }
    if (selection) {
        document.getElementById('memory-edit-start').value = low;
        document.getElementById('memory-edit-hex').value =
            Array.from(bytes.subarray(low, high + 1), hexByte).join(' ');
    }
}

function flash(cell) {
    cell.classList.remove('changed');
    void cell.offsetWidth; // restarts the animation
    cell.classList.add('changed');
}

async function write(event) {
    event.preventDefault();
    const error = document.getElementById('memory-error');
    const start = Number(document.getElementById('memory-edit-start').value);
    const hex = document.getElementById('memory-edit-hex').value.replace(/\s+/g, '').toUpperCase();
    try {
        await api('PUT', `/api/memory/${viewed.path}?start=${start}`, { hex });
        context.showError(error, null);
    } catch (problem) {
        context.showError(error, problem);
    }
}

export function init(pageContext) {
    context = pageContext;
    document.getElementById('memory-edit').addEventListener('submit', write);
    document.getElementById('memory-previous').addEventListener('click', () => {
        pageStart = Math.max(0, pageStart - bytesPerPage);
        renderPage();
    });
    document.getElementById('memory-next').addEventListener('click', () => {
        pageStart += bytesPerPage;
        renderPage();
    });
    document.getElementById('memory-view').addEventListener('click', (event) => {
        const offset = event.target.dataset?.offset;
        if (offset === undefined || !viewed) {
            return;
        }
        selection = event.shiftKey && selection
            ? { anchor: selection.anchor, end: Number(offset) }
            : { anchor: Number(offset), end: Number(offset) };
        showSelection();
    });
}

// The first visit shows the first data block (or area) without a click.
export function shown() {
    if (!viewed) {
        document.querySelector('[data-area]')?.click();
    }
}

// Another PLC is shown: its blocks come with its status, and none is picked yet.
export function plcChanged() {
    viewed = null;
    bytes = new Uint8Array(0);
    pageStart = 0;
    selection = null;
    listSignature = '';
    document.getElementById('memory-blocks').replaceChildren();
    document.getElementById('memory-areas').replaceChildren();
    document.getElementById('memory-title').textContent = 'Pick a block or an area';
    context.showError(document.getElementById('memory-error'), null);
    renderPage();
}

export function viewedArea() {
    return viewed ? viewed.path : null;
}

export function showStatus(status) {
    const { blocks, areas } = entries(status);
    const signature = JSON.stringify([blocks, areas]);
    if (signature === listSignature) {
        return;
    }
    listSignature = signature;
    const blockList = document.getElementById('memory-blocks');
    const areaList = document.getElementById('memory-areas');
    blockList.replaceChildren();
    areaList.replaceChildren();
    blocks.forEach((entry) => listEntry(blockList, entry));
    areas.forEach((entry) => listEntry(areaList, entry));
    const current = [...blocks, ...areas].find((entry) => entry.path === viewed?.path);
    if (current && current.size !== viewed.size) {
        viewed = current; // the block grew (blocks are made and grown on use outside strict mode)
        showTitle();
        renderPage();
    }
    if (document.body.dataset.view === 'memory') {
        shown();
    }
}

export function showMemory(event) {
    if (!viewed || event.area !== viewed.path) {
        return;
    }
    if (event.error) {
        context.showError(document.getElementById('memory-error'), new Error(event.error));
        return;
    }
    const incoming = new Uint8Array(event.hex.length / 2);
    for (let index = 0; index < incoming.length; index++) {
        incoming[index] = parseInt(event.hex.substr(index * 2, 2), 16);
    }
    const start = event.start || 0;
    const next = new Uint8Array(Math.max(bytes.length, start + incoming.length));
    next.set(bytes);
    next.set(incoming, start);
    const first = bytes.length === 0;
    const previous = bytes;
    bytes = next;
    if (first) {
        renderPage();
        return;
    }
    const pageEnd = Math.min(start + incoming.length, pageStart + bytesPerPage);
    for (let index = Math.max(start, pageStart); index < pageEnd; index++) {
        if (index < previous.length && previous[index] === bytes[index]) {
            continue;
        }
        for (const cell of document.querySelectorAll(`#memory-view [data-offset="${index}"]`)) {
            cell.textContent = cell.classList.contains('byte') ? hexByte(bytes[index])
                                                              : textByte(bytes[index]);
            flash(cell);
        }
    }
}

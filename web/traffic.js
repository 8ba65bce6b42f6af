// Traffic: the server's log lines as they come, in the console's colours. A line's attribute is
// a Windows console attribute byte: foreground in the low four bits, background in the high
// four, each 1 blue + 2 green + 4 red + 8 intense; style.css holds the sixteen colours.
const keptLines = 1000;

let paused = false;
let filter = '';

function lineElement(line) {
    const element = document.createElement('div');
    element.className = `line fg-${line.attribute & 0x0f} bg-${(line.attribute >> 4) & 0x0f}`;
    element.textContent = line.text;
    element.hidden = filter !== '' && !line.text.toLowerCase().includes(filter);
    return element;
}

function applyFilter() {
    for (const element of document.getElementById('traffic-log').children) {
        element.hidden = filter !== '' && !element.textContent.toLowerCase().includes(filter);
    }
}

export function init() {
    document.getElementById('traffic-pause').addEventListener('change', (event) => {
        paused = event.target.checked;
    });
    document.getElementById('traffic-filter').addEventListener('input', (event) => {
        filter = event.target.value.trim().toLowerCase();
        applyFilter();
    });
    document.getElementById('traffic-clear').addEventListener('click', () => {
        document.getElementById('traffic-log').replaceChildren();
    });
}

// replace: the event holds the server's recent lines (the first event of a stream), which
// stand in for what is shown.
export function showLog(event, replace) {
    if (paused && !replace) {
        return;
    }
    const log = document.getElementById('traffic-log');
    const atBottom = log.scrollHeight - log.scrollTop - log.clientHeight < 20;
    if (replace) {
        log.replaceChildren();
    }
    log.append(...event.lines.map(lineElement));
    while (log.childElementCount > keptLines) {
        log.firstElementChild.remove();
    }
    if (atBottom || replace) {
        log.scrollTop = log.scrollHeight;
    }
}

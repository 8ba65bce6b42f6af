// Talking to plcdouble: JSON requests and the event stream. When the server was started with
// --http-token every /api request needs the token; the page asks for it once (on the first 401),
// keeps it in localStorage and sends it as a bearer header (the event stream, which cannot set
// headers, takes it as ?token=). With a PLC picked by name, a PLC's paths (/api/status, ...) go
// to /api/plc/NAME/...; without one they reach the process's first PLC.

const tokenKey = 'plcdouble.token';

let plcName = null;

// The PLC the tabs show: a name, or null for the first PLC under the paths without a name.
export function selectPlc(name) {
    plcName = name;
}

// A PLC's API path for the picked PLC; paths of the plant (/api/plcs, /api/plc/...) as they are.
export function plcPath(path) {
    if (plcName === null || !path.startsWith('/api/') || path.startsWith('/api/plc')) {
        return path;
    }
    return `/api/plc/${encodeURIComponent(plcName)}/${path.slice('/api/'.length)}`;
}

export class ApiError extends Error {
    constructor(status, message, answer) {
        super(message);
        this.status = status;
        this.answer = answer; // the server's JSON error object, when it sent one
    }
}

function storedToken() {
    return localStorage.getItem(tokenKey) || '';
}

// One question at a time: requests that meet a 401 together wait for the same answer.
let pendingTokenQuestion = null;

function askForToken(wrongToken) {
    if (!pendingTokenQuestion) {
        pendingTokenQuestion = new Promise((resolve) => {
            const dialog = document.getElementById('token-dialog');
            const input = document.getElementById('token-input');
            document.getElementById('token-wrong').hidden = !wrongToken;
            input.value = '';
            dialog.addEventListener('close', () => {
                pendingTokenQuestion = null;
                const token = dialog.returnValue === 'ok' ? input.value.trim() : '';
                if (token) {
                    localStorage.setItem(tokenKey, token);
                }
                resolve(token);
            }, { once: true });
            dialog.showModal();
        });
    }
    return pendingTokenQuestion;
}

// Sends one request and returns the answer: parsed when it is JSON, else its text (a program's
// source). A body given as a string goes as text (a program to download), anything else as
// JSON. Throws ApiError with the server's error text on a 4xx/5xx answer.
export async function api(method, path, body) {
    const text = typeof body === 'string';
    for (;;) {
        const token = storedToken();
        const headers = {};
        if (token) {
            headers.Authorization = `Bearer ${token}`;
        }
        if (body !== undefined) {
            headers['Content-Type'] = text ? 'text/plain; charset=utf-8' : 'application/json';
        }
        const response = await fetch(plcPath(path), {
            method,
            headers,
            body: body === undefined || text ? body : JSON.stringify(body),
        });
        const json = (response.headers.get('Content-Type') || '').startsWith('application/json');
        let answer = null;
        try {
            answer = json ? await response.json() : await response.text();
        } catch {
            // No JSON body (a proxy's error page, a dropped connection): the status says enough.
        }
        if (response.status === 401 && (await askForToken(token !== ''))) {
            continue;
        }
        if (!response.ok) {
            const error = json && answer && answer.error ? answer : null;
            const message = error ? error.error : response.statusText;
            throw new ApiError(response.status, `${message} (HTTP ${response.status})`, error);
        }
        return answer;
    }
}

// Opens /api/events for the watched addresses and the viewed memory area; handlers maps event
// names (values, status, log, memory, faults, open, lost) to functions. Returns the EventSource.
export function openEvents({ addresses, memory }, handlers) {
    const query = new URLSearchParams();
    for (const address of addresses) {
        query.append('addr', address);
    }
    if (memory) {
        query.set('memory', memory);
    }
    const token = storedToken();
    if (token) {
        query.set('token', token);
    }
    const source = new EventSource(`${plcPath('/api/events')}?${query}`);
    for (const name of ['values', 'status', 'log', 'memory', 'faults']) {
        if (handlers[name]) {
            source.addEventListener(name, (event) => handlers[name](JSON.parse(event.data)));
        }
    }
    source.addEventListener('open', () => handlers.open?.());
    source.addEventListener('error', () => handlers.lost?.(source.readyState));
    return source;
}

// Talking to plcdouble: JSON requests and the event stream. When the server was started with
// --http-token every /api request needs the token; the page asks for it once (on the first 401),
// keeps it in localStorage and sends it as a bearer header (the event stream, which cannot set
// headers, takes it as ?token=).

const tokenKey = 'plcdouble.token';

export class ApiError extends Error {
    constructor(status, message) {
        super(message);
        this.status = status;
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

// Sends one request and returns the parsed JSON answer; throws ApiError with the server's error
// text on a 4xx/5xx answer.
export async function api(method, path, body) {
    for (;;) {
        const token = storedToken();
        const headers = {};
        if (token) {
            headers.Authorization = `Bearer ${token}`;
        }
        if (body !== undefined) {
            headers['Content-Type'] = 'application/json';
        }
        const response = await fetch(path, {
            method,
            headers,
            body: body === undefined ? undefined : JSON.stringify(body),
        });
        let answer = null;
        try {
            answer = await response.json();
        } catch {
            // No JSON body (a proxy's error page, a dropped connection): the status says enough.
        }
        if (response.status === 401 && (await askForToken(token !== ''))) {
            continue;
        }
        if (!response.ok) {
            const text = answer && answer.error ? answer.error : response.statusText;
            throw new ApiError(response.status, `${text} (HTTP ${response.status})`);
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
    const source = new EventSource(`/api/events?${query}`);
    for (const name of ['values', 'status', 'log', 'memory', 'faults']) {
        if (handlers[name]) {
            source.addEventListener(name, (event) => handlers[name](JSON.parse(event.data)));
        }
    }
    source.addEventListener('open', () => handlers.open?.());
    source.addEventListener('error', () => handlers.lost?.(source.readyState));
    return source;
}

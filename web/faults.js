// Faults: the rules in force, each switched on or off with one click or deleted, and new rules
// typed as the configuration file's key=value settings.
import { api } from './api.js';
import { parseSettings } from './values.js';

let context;

function showProblem(problem) {
    context.showError(document.getElementById('faults-error'), problem);
}

async function change(method, path, body) {
    try {
        await api(method, path, body);
    } catch (problem) {
        showProblem(problem);
        return;
    }
    showProblem(null);
    await refresh();
}

async function add(event) {
    event.preventDefault();
    const field = document.getElementById('faults-add-input');
    let settings;
    try {
        settings = parseSettings(field.value);
    } catch (problem) {
        showProblem(problem);
        return;
    }
    try {
        await api('POST', '/api/faults', settings);
    } catch (problem) {
        showProblem(problem);
        return;
    }
    field.value = '';
    showProblem(null);
    await refresh();
}

// Asks for the rules at once; the event stream brings them again whenever they or their counts
// change.
export async function refresh() {
    try {
        showFaults(await api('GET', '/api/faults'));
    } catch (problem) {
        showProblem(problem);
    }
}

export function init(pageContext) {
    context = pageContext;
    document.getElementById('faults-add').addEventListener('submit', add);
}

export function showFaults(faults) {
    const body = document.querySelector('#faults-table tbody');
    const rules = faults.rules || [];
    body.replaceChildren();
    const readOnly = document.body.classList.contains('read-only');
    for (const rule of rules) {
        const row = body.insertRow();
        row.dataset.rule = rule.id;
        row.classList.toggle('disabled', !rule.enabled);
        row.innerHTML = '<td></td><td><button type="button" class="toggle edit-control"' +
            ' data-role="toggle"></button></td><td class="rule-text"></td>' +
            '<td class="number"></td><td class="number"></td>' +
            '<td><button type="button" class="edit-control" data-role="delete"' +
            ' title="Delete this rule">✕</button></td>';
        row.cells[0].textContent = rule.id;
        const toggle = row.querySelector('[data-role="toggle"]');
        toggle.textContent = rule.enabled ? 'on' : 'off';
        toggle.classList.toggle('on', rule.enabled);
        toggle.title = rule.enabled ? 'Switch this rule off' : 'Switch this rule on';
        toggle.addEventListener('click', () =>
            change('POST', `/api/faults/${rule.id}`, { enabled: !rule.enabled }));
        row.cells[2].textContent = rule.text;
        row.cells[3].textContent = rule.matched;
        row.cells[4].textContent = rule.fired;
        const remove = row.querySelector('[data-role="delete"]');
        remove.addEventListener('click', () => change('DELETE', `/api/faults/${rule.id}`));
        toggle.disabled = readOnly;
        remove.disabled = readOnly;
    }
    document.getElementById('faults-none').hidden = rules.length > 0;
}

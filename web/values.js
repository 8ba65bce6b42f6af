// What the page reads and writes as text, kept apart from the page so it can be checked on its
// own: values as the watch table shows them and as the user types them, a saved watch table, a
// fault rule typed as key=value settings.

// The rows of a saved or imported table; throws on anything else.
export function validRows(table) {
    const list = Array.isArray(table) ? table : table?.rows;
    if (!Array.isArray(list)) {
        throw new Error('not a watch table: expected {"rows": [{"addr": "DB1.DBW2:INT"}, ...]}');
    }
    const seen = new Set();
    const result = [];
    for (const entry of list) {
        const addr = typeof entry === 'string' ? entry : entry?.addr;
        if (typeof addr !== 'string' || addr.trim() === '') {
            throw new Error(`not a watch table row: ${JSON.stringify(entry)}`);
        }
        const normal = addr.trim().toUpperCase();
        if (!seen.has(normal)) {
            seen.add(normal);
            result.push({ addr: normal, plot: Boolean(entry?.plot) });
        }
    }
    return result;
}

export function isText(type) {
    return type === 'CHAR' || (type || '').startsWith('STRING');
}

export function formatValue(type, value) {
    if (typeof value === 'boolean') {
        return value ? 'TRUE' : 'FALSE';
    }
    if (typeof value === 'string') {
        return `'${value}'`;
    }
    if (type === 'REAL') {
        return String(Number(value.toPrecision(7)));
    }
    if (['BYTE', 'WORD', 'DWORD'].includes(type)) {
        const digits = { BYTE: 2, WORD: 4, DWORD: 8 }[type];
        return `${value} (16#${value.toString(16).toUpperCase().padStart(digits, '0')})`;
    }
    return String(value);
}

const integerTypes = ['BYTE', 'WORD', 'DWORD', 'SINT', 'USINT', 'INT', 'UINT', 'DINT', 'UDINT',
                      'TIMER', 'COUNTER'];

// A number as a PLC programmer writes it: 255, -3.5, 1e3, 16#FF, 2#1010 (underscores between
// digits allowed in the last two, as in STEP 7), or 0xFF; null when it is none of these.
function parseNumber(text) {
    const literal = /^(16|2)#([0-9A-F_]+)$/i.exec(text);
    if (literal) {
        const digits = literal[2].replaceAll('_', '');
        const valid = literal[1] === '16' ? /^[0-9A-F]+$/i : /^[01]+$/;
        return valid.test(digits) ? parseInt(digits, Number(literal[1])) : null;
    }
    const number = text === '' ? NaN : Number(text);
    return Number.isFinite(number) ? number : null;
}

// What the user typed, as the JSON value the server expects for the type (the server checks
// the range). Without a type yet (no value came), true/false and numbers are taken as such.
export function parseInput(text, type) {
    const trimmed = text.trim();
    if (isText(type)) {
        return text;
    }
    if (type === 'BOOL' || (!type && /^(true|false)$/i.test(trimmed))) {
        if (/^(true|1|on)$/i.test(trimmed)) {
            return true;
        }
        if (/^(false|0|off)$/i.test(trimmed)) {
            return false;
        }
        throw new Error('a BOOL takes TRUE or FALSE');
    }
    const number = parseNumber(trimmed);
    if (number === null) {
        if (!type) {
            return text;
        }
        throw new Error(`${type} takes a number, not '${trimmed}'`);
    }
    if (integerTypes.includes(type) && !Number.isInteger(number)) {
        throw new Error(`${type} takes a whole number, not '${trimmed}'`);
    }
    return number;
}

// "on=read, area=DB5 item_code=0x0A" -> {"on": "read", "area": "DB5", "item_code": "0x0A"}: the
// values go as text, which the server reads as the configuration file's values.
export function parseSettings(text) {
    const settings = {};
    for (const part of text.split(/[,\s]+/).filter((item) => item !== '')) {
        const match = /^([A-Za-z_]+)=(.+)$/.exec(part);
        if (!match) {
            throw new Error(`'${part}' is not key=value`);
        }
        settings[match[1].toLowerCase()] = match[2];
    }
    return settings;
}

// The watch page's text handling (web/values.js), without a browser: what a typed value is sent
// as, how a value is shown, which saved watch tables are taken, how a typed fault rule is split.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { describe, it } from 'node:test';

// The page's modules are plain .js files for the browser; Node 20 would read them as CommonJS,
// so the file (which imports nothing) is loaded as a module from its text.
const source = readFileSync(new URL('../../web/values.js', import.meta.url), 'utf8');
const { formatValue, parseInput, parseSettings, validRows } =
    await import(`data:text/javascript,${encodeURIComponent(source)}`);

describe('a value typed into the watch table', () => {
    // [typed, the row's type (undefined: no value came yet), sent as, or the error's pattern]
    const cases = [
        ['-300', 'INT', -300],
        [' 1234 ', 'INT', 1234],
        ['16#FF', 'BYTE', 255],
        ['16#ff_ff', 'WORD', 65535],
        ['2#1010', 'BYTE', 10],
        ['0x1F', 'WORD', 31],
        ['65535', 'TIMER', 65535],
        ['3.25', 'REAL', 3.25],
        ['-1e3', 'REAL', -1000],
        ['TRUE', 'BOOL', true],
        ['off', 'BOOL', false],
        ['1', 'BOOL', true],
        [' pump 1 ', 'STRING[20]', ' pump 1 '],
        ['7', 'CHAR', '7'],
        ['7', undefined, 7],
        ['false', undefined, false],
        ['abc', undefined, 'abc'],
        ['16#FFx', 'WORD', /WORD takes a number, not '16#FFx'/],
        ['2#102', 'BYTE', /BYTE takes a number/],
        ['12.5', 'INT', /INT takes a whole number, not '12.5'/],
        ['', 'DINT', /DINT takes a number/],
        ['yes', 'BOOL', /a BOOL takes TRUE or FALSE/],
    ];
    for (const [typed, type, expected] of cases) {
        it(`'${typed}' as ${type ?? 'an unknown type'}`, () => {
            if (expected instanceof RegExp) {
                assert.throws(() => parseInput(typed, type), expected);
            } else {
                assert.equal(parseInput(typed, type), expected);
            }
        });
    }
});

it('values are shown as a PLC programmer reads them', () => {
    const cases = [
        ['BOOL', true, 'TRUE'],
        ['INT', -300, '-300'],
        ['BYTE', 10, '10 (16#0A)'],
        ['WORD', 255, '255 (16#00FF)'],
        ['DWORD', 4294967295, '4294967295 (16#FFFFFFFF)'],
        ['REAL', Math.fround(0.1), '0.1'], // the IEEE single's digits beyond 7 are noise
        ['REAL', Math.fround(Math.PI), '3.141593'],
        ['STRING[254]', 'Hello there', "'Hello there'"],
        ['CHAR', 'A', "'A'"],
    ];
    for (const [type, value, shown] of cases) {
        assert.equal(formatValue(type, value), shown, `${type} ${value}`);
    }
});

it('a saved or imported watch table', () => {
    const saved = {
        rows: [{ addr: ' db1.dbw2:int ', plot: true }, 'MW10', { addr: 'DB1.DBW2:INT' }],
    };
    assert.deepEqual(validRows(saved),
                     [{ addr: 'DB1.DBW2:INT', plot: true }, { addr: 'MW10', plot: false }]);
    assert.deepEqual(validRows(['I0.0']), [{ addr: 'I0.0', plot: false }]);
    assert.throws(() => validRows({ x: 1 }), /not a watch table/);
    assert.throws(() => validRows({ rows: [{ addr: '' }] }), /not a watch table row/);
    assert.throws(() => validRows({ rows: [5] }), /not a watch table row: 5/);
});

it('a fault rule typed as key=value settings', () => {
    assert.deepEqual(parseSettings('on=read, area=DB5 item_code=0x0A'),
                     { on: 'read', area: 'DB5', item_code: '0x0A' });
    assert.deepEqual(parseSettings(' ON=write,delay_ms=200 '), { on: 'write', delay_ms: '200' });
    assert.throws(() => parseSettings('on=read area'), /'area' is not key=value/);
});

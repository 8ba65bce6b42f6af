// Types of the plcdouble package (index.js).

export type CpuName = 'classic' | 's7-300' | 's7-400' | 's7-1200' | 's7-1500';

export interface StartOptions {
    /** CPU profile (`--cpu`); the server's default is `classic`. */
    cpu?: CpuName;
    /** A TOML configuration file (`--config`). */
    config?: string;
    /** A Lua program (`--program`). */
    program?: string;
    /** More command-line arguments, after the helper's own (e.g. `['--clock', 'manual']`). */
    args?: string[];
    /** The server binary; else `PLCDOUBLE_BINARY`, else `plcdouble` on PATH. */
    binary?: string;
    /** How long to wait for the server to listen, in ms (default 10000). */
    timeoutMs?: number;
    /** Started with `--http-token TOKEN`, and every API request carries it. */
    httpToken?: string;
    /** The server's environment (default: this process's). */
    env?: NodeJS.ProcessEnv;
}

export type JournalArea = 'DB' | 'I' | 'Q' | 'M' | 'T' | 'C';

export interface JournalEntry {
    seq: number;
    time: string;
    source: 'S7' | 'S5' | 'http';
    /** The connection's slot; -1 for the HTTP API. */
    slot: number;
    peer: string;
    area: JournalArea;
    db: number;
    /** The first byte written (timers and counters: element n at byte 2n). */
    start: number;
    /** -1 for whole bytes, else the one bit written (0-7) in byte `start`. */
    bit: number;
    /** The bytes written, uppercase hex. */
    hex: string;
}

export interface Journal {
    /** Pass as `since` next time. */
    next: number;
    /** Writes after `since` the journal no longer holds. */
    lost: number;
    writes: JournalEntry[];
}

export interface WaitForWriteOptions {
    /** Reject after this many ms (default 5000). */
    timeoutMs?: number;
    /** Only an entry for which this is true. */
    where?: (entry: JournalEntry) => boolean;
    /** Look at writes after this journal number instead of after what the helper last saw. */
    since?: number;
}

export interface FaultRuleInfo {
    id: number;
    enabled: boolean;
    text: string;
    settings: Record<string, string>;
    matched: number;
    fired: number;
}

export interface Faults {
    /** Adds a rule with the configuration file's keys; resolves with its id. */
    add(rule: Record<string, string | number | boolean>): Promise<number>;
    remove(id: number): Promise<void>;
    list(): Promise<FaultRuleInfo[]>;
}

export interface ExitStatus {
    code: number | null;
    signal: NodeJS.Signals | null;
}

export type PlcValue = boolean | number | string;

export interface Plc {
    /** Where a client connects: the S7 port on loopback. */
    readonly host: string;
    readonly port: number;
    /** Rack and slot a client connects with for this CPU profile. */
    readonly rack: number;
    readonly slot: number;
    /** The CPU profile the server answers as. */
    readonly cpu: CpuName;
    /** The HTTP API's base, e.g. `http://127.0.0.1:40123`. */
    readonly httpUrl: string;
    readonly pid: number;
    /** The last 64 KiB of the server's log and error output. */
    readonly output: string;
    /** How the server exited, or null while it runs. */
    readonly exit: ExitStatus | null;

    /** One value, e.g. `read('DB1.DBW2:INT')`. */
    read(address: string): Promise<PlcValue>;
    /** Writes as a client would (journal source `http`); resolves with the value read back. */
    write(address: string, value: PlcValue): Promise<PlcValue>;
    /** Memory to its start, CPU in RUN, program restarted, journal and fault counts emptied. */
    reset(): Promise<void>;
    /** With `--clock manual`: moves the PLC's time on by ms. */
    advance(ms: number): Promise<{ now_ms: number; cycles: number }>;
    /** Writes after `since` (default: after what the helper last saw). */
    journal(since?: number, options?: { waitMs?: number }): Promise<Journal>;
    /**
     * The first write after what the helper last saw (or `since`) that touched the address
     * (any address when null) and passes `where`.
     */
    waitForWrite(address: string | null, options?: WaitForWriteOptions): Promise<JournalEntry>;
    readonly faults: Faults;
    /** SIGTERM, then the exit status once the server has ended. */
    stop(): Promise<ExitStatus>;
    /** Any API request: resolves with the parsed JSON answer, rejects with a PlcError. */
    request(method: string, path: string, body?: unknown): Promise<any>;
}

export class PlcError extends Error {
    /** The HTTP status, for a refused API request. */
    status?: number;
    /** The server's stderr, for a failed start. */
    stderr?: string;
    exit?: ExitStatus;
}

/** Starts plcdouble on free loopback ports and resolves once it listens. */
export function startPlc(options?: StartOptions): Promise<Plc>;

export interface AddressRange {
    area: JournalArea;
    db: number;
    start: number;
    size: number;
    bit: number;
}

/** The bytes an address in the S7 notation covers. */
export function parseAddress(address: string): AddressRange;

/** Whether a journal entry wrote any of the range's bytes. */
export function entryOverlaps(entry: JournalEntry, range: AddressRange): boolean;

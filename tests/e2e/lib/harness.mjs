// Shared pieces of the end-to-end tests: start the built relay on free loopback ports with a
// data directory of its own, wait for conditions with deadlines, and talk to it over HTTP,
// WebSocket and raw TCP.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import WebSocket from 'ws';

export const BIN = process.env.TNLRELAY_BIN ?? path.resolve('../../build/tnlrelay');

/**
 * "host:port" of a Redis that every relay started here is linked to, each as the only node of a
 * cluster of its own (a unique clusterName and nodeName in its config.json); unset: plain relays.
 */
export const TEST_REDIS = process.env.TNLRELAY_TEST_REDIS || undefined;
let clusterSeq = 0;

/**
 * A line only a relay linked to Redis writes ("INFO cluster: linked ..."): left out of
 * `logLines()` in a run on Redis, so that checks of what a single node logs stay as they are.
 */
export const isClusterLine = (line) => TEST_REDIS !== undefined && line.includes('INFO cluster: ');
/** The keys of the state document that a relay linked to Redis adds. */
export const CLUSTER_STATE_KEYS = TEST_REDIS ? ['cluster'] : [];
/** The keys of config.json that a run on Redis adds. */
export const CLUSTER_CONFIG_KEYS = ['clusterName', 'clusterRedis', 'nodeName'];

/**
 * The text of a relay's config.json. In a run on Redis the keys the run added are taken out and
 * the rest laid out as the relay does (sorted keys as read, two spaces), so that a test of the
 * single node's file compares what it wrote itself.
 */
export function configText(file) {
    const text = fs.readFileSync(file, 'utf8');
    if (!TEST_REDIS) return text;
    const config = JSON.parse(text);
    for (const key of CLUSTER_CONFIG_KEYS) delete config[key];
    return JSON.stringify(config, null, 2);
}

/**
 * With TEST_REDIS, adds the cluster keys to the config.json of a relay about to start, keeping
 * whatever the file holds (a restarted relay keeps its names). True when the relay will link.
 */
function addClusterSettings(dataRoot) {
    if (!TEST_REDIS) return false;
    const dir = path.join(dataRoot, 'Tarnelle', 'RelayServer');
    const file = path.join(dir, 'config.json');
    let config = {};
    try {
        config = JSON.parse(fs.readFileSync(file, 'utf8'));
    } catch (e) {
        if (e.code !== 'ENOENT') return false; // a file the test made unreadable stays as it is
    }
    if (typeof config !== 'object' || config === null || Array.isArray(config)) return false;
    if (config.clusterRedis === undefined) {
        const name = `e2e-${process.pid}-${++clusterSeq}`;
        config = { ...config, clusterRedis: TEST_REDIS, clusterName: name, nodeName: name };
        try {
            fs.mkdirSync(dir, { recursive: true });
            fs.writeFileSync(file, JSON.stringify(config));
        } catch {
            return false;
        }
    }
    return config.clusterRedis === TEST_REDIS;
}

/** Polls `check` until it returns a truthy value or the deadline passes. */
export async function waitFor(check, what, timeoutMs = 10000) {
    const end = Date.now() + timeoutMs;
    let last;
    for (;;) {
        try {
            last = await check();
            if (last) return last;
        } catch (e) {
            last = e;
        }
        if (Date.now() > end) throw new Error(`timed out waiting for ${what} (last: ${last})`);
        await new Promise((r) => setTimeout(r, 20));
    }
}

/** The first port of the kernel's range for outgoing connections, which tests stay below. */
export function ephemeralPortLow() {
    try {
        const low = Number(fs.readFileSync('/proc/sys/net/ipv4/ip_local_port_range', 'utf8').split(/\s+/)[0]);
        if (low > 1025) return low;
    } catch {}
    return 32768;
}

/**
 * A game port free on every address (the relay binds it on 0.0.0.0) and the admin port after it
 * free on 127.0.0.1, both below the kernel's range for outgoing connections; the search starts
 * at a random place so that test files running side by side rarely meet.
 */
export async function freePortPair() {
    const low = 1024;
    const span = ephemeralPortLow() - 1 - low;
    const start = Math.floor(Math.random() * span);
    for (let i = 0; i < span; i++) {
        const port = low + ((start + i) % span);
        if ((await portFree(port, '0.0.0.0')) && (await portFree(port + 1, '127.0.0.1'))) return port;
    }
    throw new Error('no free port pair');
}

export function portFree(port, host) {
    return new Promise((resolve) => {
        const srv = net.createServer();
        srv.once('error', () => resolve(false));
        srv.listen(port, host, () => srv.close(() => resolve(true)));
    });
}

export function makeDataRoot() {
    return fs.mkdtempSync(path.join(os.tmpdir(), 'tnlrelay-e2e-'));
}

/** A running relay in console mode. */
export class Relay {
    constructor({ port, dataRoot, proc }) {
        this.port = port;
        this.adminPort = port + 1;
        this.dataRoot = dataRoot;
        this.dataDir = path.join(dataRoot, 'Tarnelle', 'RelayServer');
        this.logPath = path.join(this.dataDir, 'relay.log');
        this.configPath = path.join(this.dataDir, 'config.json');
        this.proc = proc;
        this.stdout = '';
        this.stderr = '';
        this.exitCode = undefined;
        this.exited = new Promise((resolve) => {
            proc.on('exit', (code, signal) => {
                this.exitCode = code;
                this.exitSignal = signal;
                resolve(code);
            });
        });
        proc.stdout.on('data', (d) => (this.stdout += d));
        proc.stderr.on('data', (d) => (this.stderr += d));
        this.outputDone = new Promise((resolve) => proc.stderr.on('close', resolve));
    }

    /**
     * Starts the relay and waits until it has logged its start line. Without a `port` the relay
     * gets a free pair, and a start that loses it to another program in the meantime ("Relay
     * failed to start") is tried again on a new pair, with the traces of the failed try removed
     * from the log. `args` may be a function of the port.
     */
    static async start({ port, dataRoot, args, waitListening = true, env, terminal, journal } = {}) {
        dataRoot ??= makeDataRoot();
        const retry = port === undefined && waitListening;
        for (let attempt = 1; ; attempt++) {
            const relay = await Relay.#startOnce({ port: port ?? (await freePortPair()), dataRoot, args,
                waitListening, env, terminal, journal });
            if (relay.exitCode === undefined || !retry || attempt === 5 ||
                !relay.stderr.includes('Relay failed to start'))
                return relay.#checkStarted(waitListening);
            fs.truncateSync(relay.logPath, relay.logOffset);
        }
    }

    /**
     * `env` is added to the relay's environment, which never inherits the service manager's
     * variables otherwise. `terminal`: the relay runs in a terminal of its own (a pseudo-terminal
     * made by script(1), its controlling terminal). `journal`: JOURNAL_STREAM names the relay's
     * standard error, as systemd sets it.
     */
    static async #startOnce({ port, dataRoot, args, waitListening, env, terminal, journal }) {
        // A data directory used before holds earlier start lines: look only past them.
        let earlier = 0;
        try {
            earlier = fs.statSync(path.join(dataRoot, 'Tarnelle', 'RelayServer', 'relay.log')).size;
        } catch {}
        if (typeof args === 'function') args = args(port);
        const linking = addClusterSettings(dataRoot);
        const { INVOCATION_ID, JOURNAL_STREAM, ...inherited } = process.env;
        let command = [BIN, ...(args ?? ['--console', String(port)])];
        // Each wrapper ends in exec, so the relay keeps the process id the harness signals.
        if (journal)
            command = ['sh', '-c', 'JOURNAL_STREAM=$(stat -L -c %d:%i /dev/stderr) exec "$0" "$@"',
                       ...command];
        const shellWords = command.map((w) => `'${w.replaceAll("'", "'\\''")}'`).join(' ');
        if (terminal) command = ['script', '-q', '-e', '-c', `exec ${shellWords}`, '/dev/null'];
        const proc = spawn(command[0], command.slice(1), {
            // A small quarantine keeps a sanitizer build's memory near the plain build's.
            env: { ...inherited, ProgramData: dataRoot,
                ASAN_OPTIONS: `${process.env.ASAN_OPTIONS ?? ''}:quarantine_size_mb=16`, ...env },
            stdio: ['ignore', 'pipe', 'pipe'],
        });
        const relay = new Relay({ port, dataRoot, proc });
        if (terminal) {
            // script(1) runs the relay as its child, in the terminal's own session.
            const children = `/proc/${proc.pid}/task/${proc.pid}/children`;
            relay.pid = Number(await waitFor(() => fs.readFileSync(children, 'utf8').trim(),
                                             'the relay to start inside script(1)'));
        }
        relay.logOffset = earlier;
        if (waitListening) {
            await waitFor(() => {
                if (relay.exitCode !== undefined) return true;
                const text = relay.logText(); // a rotation starts the file anew
                return text.slice(text.length < earlier ? 0 : earlier)
                    .includes(`relay listening ws://0.0.0.0:${port}`);
            },
                'the relay to listen');
            // Linked, the joins that follow take the cluster's path.
            if (relay.exitCode === undefined && linking)
                await waitFor(() => relay.exitCode !== undefined ||
                    relay.logText().slice(earlier).includes('INFO cluster: linked to Redis'),
                    'the relay to link to Redis');
            if (relay.exitCode === undefined) return relay;
            await relay.outputDone;
        }
        return relay;
    }

    #checkStarted(waitListening) {
        if (waitListening && this.exitCode !== undefined)
            throw new Error(`relay exited ${this.exitCode}: ${this.stderr}`);
        return this;
    }

    logText() {
        try {
            return fs.readFileSync(this.logPath, 'latin1');
        } catch {
            return '';
        }
    }

    /** Log lines without their time stamps ("INFO JOIN room=..."). */
    logLines() {
        return this.logText()
            .split('\r\n')
            .filter((l) => l.length && !isClusterLine(l))
            .map((l) => l.replace(/^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d /, ''));
    }

    async waitLog(pred, what, timeoutMs) {
        return waitFor(() => this.logLines().find(typeof pred === 'string' ? (l) => l === pred : pred),
            what ?? `log line ${pred}`, timeoutMs);
    }

    /** Sends a signal and waits for the exit; returns the exit code. */
    async stop(signal = 'SIGINT', timeoutMs = 10000) {
        const pid = this.pid ?? this.proc.pid;
        if (this.exitCode === undefined) process.kill(pid, signal);
        const timer = setTimeout(() => {
            if (this.exitCode === undefined) process.kill(pid, 'SIGKILL');
        }, timeoutMs);
        const code = await this.exited;
        clearTimeout(timer);
        return code;
    }

    url(pathAndQuery = '/') {
        return `ws://127.0.0.1:${this.port}${pathAndQuery}`;
    }

    /** Joins with a WebSocket; resolves once open. Received messages collect in ws.received. */
    join(query, options = {}) {
        const ws = new WebSocket(this.url(`/?${new URLSearchParams(query)}`), options);
        ws.binaryType = 'nodebuffer';
        ws.received = [];
        ws.on('message', (data, isBinary) => ws.received.push({ data, isBinary }));
        ws.closedPromise = new Promise((resolve) => ws.on('close', (code) => resolve(code)));
        return new Promise((resolve, reject) => {
            ws.once('open', () => resolve(ws));
            ws.once('error', reject);
            ws.once('unexpected-response', (req, res) => reject(new Error(`status ${res.statusCode}`)));
        });
    }

    async get(pathAndQuery, { admin = false, method = 'GET', body, headers } = {}) {
        const port = admin ? this.adminPort : this.port;
        let res;
        try {
            res = await fetch(`http://127.0.0.1:${port}${pathAndQuery}`, { method, body, headers });
        } catch (e) {
            // "fetch failed" alone says nothing: name the cause and whether the relay still runs.
            const cause = e.cause ? `${e.cause.code ?? e.cause.name}: ${e.cause.message}` : 'no cause';
            const relay = this.exitCode === undefined ? 'running'
                : `exited (${this.exitCode ?? this.exitSignal}): ${this.stderr}`;
            throw new Error(`${method} ${pathAndQuery}: ${e.message} (${cause}); the relay is ${relay}`,
                            { cause: e });
        }
        return { status: res.status, headers: res.headers, text: await res.text() };
    }

    async state() {
        return JSON.parse((await this.get('/api/state', { admin: true })).text);
    }
}

/** Sends raw bytes on a new TCP connection and collects everything until the peer closes. */
export function rawExchange(port, bytes, { timeoutMs = 5000, host = '127.0.0.1' } = {}) {
    return new Promise((resolve, reject) => {
        const sock = net.connect(port, host);
        const chunks = [];
        const timer = setTimeout(() => {
            sock.destroy();
            resolve({ data: Buffer.concat(chunks), closed: false });
        }, timeoutMs);
        sock.on('connect', () => sock.write(bytes));
        sock.on('data', (d) => chunks.push(d));
        sock.on('error', reject);
        sock.on('close', () => {
            clearTimeout(timer);
            resolve({ data: Buffer.concat(chunks), closed: true });
        });
    });
}

export const CHROMIUM = '/usr/bin/chromium';

/**
 * Headless Chromium in a fresh profile, with the flags that keep it off the network; `cleanups`
 * receives what closes it and removes the profile. Other options go to Playwright as they are.
 */
export async function launchChromium(cleanups, { args = [], ...options } = {}) {
    const { chromium } = await import('playwright-core');
    const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'tnlrelay-chromium-'));
    cleanups.push(() => fs.rmSync(profile, { recursive: true, force: true }));
    const context = await chromium.launchPersistentContext(profile, {
        executablePath: CHROMIUM,
        headless: true,
        args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
               '--disable-background-networking', '--disable-component-update', '--disable-sync',
               ...args],
        ...options,
    });
    cleanups.push(() => context.close());
    return context;
}

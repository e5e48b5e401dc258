// Shared pieces of the end-to-end tests: what a file cleans up when its tests are over, the built
// relay and outside programs started on free loopback ports, temporary directories, waiting for
// conditions with deadlines, and talking to the relay over HTTP, WebSocket and raw TCP.
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { after } from 'node:test';
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
/**
 * The start line a relay writes only when it had to raise its soft descriptor limit, which
 * depends on the shell that runs the tests: left out of `logLines()` as well (`logText()` has it).
 */
export const isStartNote = (line) => line.includes('INFO descriptors: ');
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

/** Runs `cleanups` one after the other, the last pushed first. */
export async function runCleanups(cleanups) {
    for (const cleanup of cleanups.reverse()) await cleanup();
}

/**
 * The file's list of cleanups (functions, awaited), run by an `after` hook once its tests are
 * over, the last pushed first. Call it once, at the top level of a test file.
 */
export function cleanupAfter() {
    const cleanups = [];
    after(() => runCleanups(cleanups));
    return cleanups;
}

/** A new directory under the system's temporary one; with `cleanups`, removed at the end. */
export function tempDir(cleanups, name = 'e2e') {
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), `tnlrelay-${name}-`));
    cleanups?.push(() => fs.rmSync(dir, { recursive: true, force: true }));
    return dir;
}

/** A relay's data root: a temporary directory kept after the tests, for a look at its files. */
export const makeDataRoot = () => tempDir();

/** Writes config.json into a data root; with `pair`, its files are copied beside it and named. */
function writeConfig(dataRoot, config = {}, pair) {
    const dir = path.join(dataRoot, 'Tarnelle', 'RelayServer');
    fs.mkdirSync(dir, { recursive: true });
    if (pair) {
        fs.copyFileSync(pair.cert, path.join(dir, 'cert.pem'));
        fs.copyFileSync(pair.key, path.join(dir, 'key.pem'));
        config = { tlsCertificate: 'cert.pem', tlsPrivateKey: 'key.pem', ...config };
    }
    fs.writeFileSync(path.join(dir, 'config.json'), JSON.stringify(config));
}

/**
 * Sets an admin account's password in a data root's config.json with `--set-admin-password`,
 * the password on standard input (not a terminal); returns { status, stdout, stderr }.
 */
export function setAdminPassword(dataRoot, name, password, { role, bin = BIN } = {}) {
    const args = ['--set-admin-password', name, ...(role ? ['--role', role] : [])];
    return spawnSync(bin, args, { input: `${password}\n`, encoding: 'utf8',
                                  env: { ...process.env, ProgramData: dataRoot } });
}

/**
 * Makes admin accounts ([name, password, role] each) in a data root with `--set-admin-password`
 * and returns the config.json it wrote, to be started with (and added to).
 */
export function adminAccounts(dataRoot, accounts) {
    for (const [name, password, role] of accounts) {
        const made = setAdminPassword(dataRoot, name, password, { role });
        assert.equal(made.status, 0, `--set-admin-password ${name}: ${made.stderr}`);
    }
    return JSON.parse(fs.readFileSync(path.join(dataRoot, 'Tarnelle', 'RelayServer', 'config.json'), 'utf8'));
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

/** Until every node of a cluster sees all the other nodes holding members of `room`. */
export async function roomSpansNodes(nodes, room) {
    for (const node of nodes) {
        await waitFor(async () => {
            const entry = (await node.state()).cluster.localRooms.find((r) => r.room === room);
            return entry && entry.otherNodes.length === nodes.length - 1;
        }, `room ${room} to span the nodes`);
    }
}

/** The first port of the kernel's range for outgoing connections, which tests stay below. */
function ephemeralPortLow() {
    try {
        const low = Number(fs.readFileSync('/proc/sys/net/ipv4/ip_local_port_range', 'utf8').split(/\s+/)[0]);
        if (low > 1025) return low;
    } catch {}
    return 32768;
}

function portFree(port, host) {
    return new Promise((resolve) => {
        const srv = net.createServer();
        srv.once('error', () => resolve(false));
        srv.listen(port, host, () => srv.close(() => resolve(true)));
    });
}

/**
 * The first port for which `isFree` holds, with the one after it still below the kernel's range
 * for outgoing connections; the search starts at a random place so that test files running
 * side by side rarely meet.
 */
async function findPort(isFree) {
    const low = 1024;
    const span = ephemeralPortLow() - 1 - low;
    const start = Math.floor(Math.random() * span);
    for (let i = 0; i < span; i++) {
        const port = low + ((start + i) % span);
        if (await isFree(port)) return port;
    }
    throw new Error('no free port');
}

/** A loopback port free now. */
export const freePort = () => findPort((port) => portFree(port, '127.0.0.1'));

/**
 * A game port free on every address (the relay binds it on 0.0.0.0) and the admin port after it
 * free on 127.0.0.1.
 */
export const freePortPair = () =>
    findPort(async (port) => (await portFree(port, '0.0.0.0')) && (await portFree(port + 1, '127.0.0.1')));

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
     * from the log. `args` may be a function of the port; `bin` is another build of the program.
     * `config` is written to its config.json; with `pair` ({ cert, key } files) copied into the
     * data directory and named there. With `cleanups`, the relay is stopped at the end of the
     * file (by `stopSignal`), and with `stopsCleanly` that stop must exit with 0.
     */
    static async start({ port, dataRoot, args, bin = BIN, waitListening = true, config, pair, cleanups,
                         stopSignal, stopsCleanly = false, env, terminal, journal, softFiles } = {}) {
        dataRoot ??= makeDataRoot();
        if (config !== undefined || pair) writeConfig(dataRoot, config, pair);
        const retry = port === undefined && waitListening;
        for (let attempt = 1; ; attempt++) {
            const relay = await Relay.#startOnce({ port: port ?? (await freePortPair()), dataRoot, args,
                bin, waitListening, env, terminal, journal, softFiles });
            if (relay.exitCode === undefined || !retry || attempt === 5 ||
                !relay.stderr.includes('Relay failed to start')) {
                relay.#checkStarted(waitListening);
                cleanups?.push(async () => {
                    const code = await relay.stop(stopSignal);
                    if (stopsCleanly) assert.equal(code, 0, 'the relay stops cleanly');
                });
                return relay;
            }
            fs.truncateSync(relay.logPath, relay.logOffset);
        }
    }

    /**
     * `env` is added to the relay's environment, which never inherits the service manager's
     * variables otherwise. `terminal`: the relay runs in a terminal of its own (a pseudo-terminal
     * made by script(1), its controlling terminal). `journal`: JOURNAL_STREAM names the relay's
     * standard error, as systemd sets it. `softFiles`: the relay starts with that soft limit on
     * open descriptors, as from a shell with a low default.
     */
    static async #startOnce({ port, dataRoot, args, bin, waitListening, env, terminal, journal,
                              softFiles }) {
        // A data directory used before holds earlier start lines: look only past them.
        let earlier = 0;
        try {
            earlier = fs.statSync(path.join(dataRoot, 'Tarnelle', 'RelayServer', 'relay.log')).size;
        } catch {}
        if (typeof args === 'function') args = args(port);
        const linking = addClusterSettings(dataRoot);
        const { INVOCATION_ID, JOURNAL_STREAM, ...inherited } = process.env;
        let command = [bin, ...(args ?? ['--console', String(port)])];
        // Each wrapper ends in exec, so the relay keeps the process id the harness signals.
        if (journal)
            command = ['sh', '-c', 'JOURNAL_STREAM=$(stat -L -c %d:%i /dev/stderr) exec "$0" "$@"',
                       ...command];
        if (softFiles) command = ['sh', '-c', `ulimit -Sn ${softFiles} && exec "$0" "$@"`, ...command];
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
            .filter((l) => l.length && !isClusterLine(l) && !isStartNote(l))
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

    url(pathAndQuery = '/', scheme = 'ws') {
        return `${scheme}://127.0.0.1:${this.port}${pathAndQuery}`;
    }

    /** Joins with a WebSocket (`wss: true` over TLS); see openSocket. */
    join(query, { wss = false, ...options } = {}) {
        return openSocket(this.url(`/?${new URLSearchParams(query)}`, wss ? 'wss' : 'ws'), options);
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

    /** A POST of `body` as JSON to the admin port. */
    post(pathAndQuery, body) {
        return this.get(pathAndQuery, { admin: true, method: 'POST', body: JSON.stringify(body) });
    }

    async state() {
        return JSON.parse((await this.get('/api/state', { admin: true })).text);
    }
}

/**
 * Opens a WebSocket (certificates are not checked) and resolves once open; a refused upgrade
 * rejects with "status N" and the answer as `response`. Received messages collect in
 * ws.received as { data, isBinary }; ws.closedPromise resolves with the close code.
 */
export function openSocket(url, options = {}) {
    const ws = new WebSocket(url, { rejectUnauthorized: false, ...options });
    ws.binaryType = 'nodebuffer';
    ws.received = [];
    ws.on('message', (data, isBinary) => ws.received.push({ data, isBinary }));
    ws.closedPromise = new Promise((resolve) => ws.on('close', (code) => resolve(code)));
    return new Promise((resolve, reject) => {
        ws.once('open', () => resolve(ws));
        ws.on('error', reject);
        ws.once('unexpected-response', (req, response) =>
            reject(Object.assign(new Error(`status ${response.statusCode}`), { response })));
    });
}

/** Whether `ws` (from openSocket) has received `text`. */
export const hasReceived = (ws, text) => ws.received.some((m) => String(m.data) === text);

/**
 * The text of a WebSocket upgrade request for `target`; `key` and `version` replace those
 * headers, null leaves one out.
 */
export function upgradeRequest(target, { key = 'dGhlIHNhbXBsZSBub25jZQ==', version = 13 } = {}) {
    return `GET ${target} HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n` +
        (key === null ? '' : `Sec-WebSocket-Key: ${key}\r\n`) +
        (version === null ? '' : `Sec-WebSocket-Version: ${version}\r\n`) + '\r\n';
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
    const profile = tempDir(cleanups, 'chromium');
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

/**
 * Starts an outside program in the foreground (`stdin: true` gives it a pipe), its output
 * collected as text in `program.output`, and stops it by its process id at the end of the file
 * (SIGTERM, SIGKILL 10 s later). With `ready`, waits until it holds (a number: until that
 * loopback port accepts connections), failing if the program exits first.
 */
export async function startProgram(cleanups, bin, args, { ready, what = path.basename(bin), stdin = false,
                                                         timeoutMs } = {}) {
    const proc = spawn(bin, args, { stdio: [stdin ? 'pipe' : 'ignore', 'pipe', 'pipe'] });
    const program = { proc, output: '' };
    for (const stream of [proc.stdout, proc.stderr])
        stream.on('data', (d) => (program.output += d.toString('latin1')));
    const running = () => proc.exitCode === null && proc.signalCode === null;
    const exited = new Promise((resolve) => proc.on('exit', resolve));
    program.stop = async (signal = 'SIGTERM') => {
        if (running()) proc.kill(signal);
        const timer = setTimeout(() => proc.kill('SIGKILL'), 10000);
        await exited;
        clearTimeout(timer);
    };
    cleanups.push(() => program.stop());
    if (typeof ready === 'number') {
        const port = ready;
        ready = () => new Promise((resolve) => {
            const s = net.connect(port, '127.0.0.1', () => { s.destroy(); resolve(true); });
            s.on('error', () => resolve(false));
        });
    }
    if (ready) {
        await waitFor(() => {
            if (!running()) throw new Error(`${what} exited: ${program.output}`);
            return ready();
        }, `${what} to be ready`, timeoutMs);
    }
    return program;
}

/** Redis commands over a fresh connection; resolves with the raw text of the replies. */
export function redisCommands(port, commands) {
    return new Promise((resolve, reject) => {
        const sock = net.connect(port, '127.0.0.1');
        let text = Buffer.alloc(0);
        const chunks = [];
        for (const args of commands) {
            chunks.push(Buffer.from(`*${args.length}\r\n`));
            for (const a of args) {
                const b = Buffer.isBuffer(a) ? a : Buffer.from(String(a));
                chunks.push(Buffer.from(`$${b.length}\r\n`), b, Buffer.from('\r\n'));
            }
        }
        sock.on('connect', () => sock.end(Buffer.concat(chunks)));
        sock.on('data', (d) => (text = Buffer.concat([text, d])));
        sock.on('error', reject);
        sock.on('close', () => resolve(text.toString('latin1')));
    });
}

/**
 * A redis-server on a loopback port (a free one unless given), without persistence, in a
 * temporary directory; resolves once it answers PING (after AUTH with `password`).
 */
export async function startRedis(cleanups, { port, args = [], password } = {}) {
    port ??= await freePort();
    const dir = tempDir(cleanups, 'redis');
    const ping = password ? [['AUTH', password], ['PING']] : [['PING']];
    const redis = await startProgram(cleanups, 'redis-server', ['--port', String(port), '--bind', '127.0.0.1',
        '--save', '', '--appendonly', 'no', '--dir', dir, ...args], {
        ready: async () => (await redisCommands(port, ping)).endsWith('+PONG\r\n'),
    });
    redis.port = port;
    return redis;
}

/**
 * A redis-sentinel on a free loopback port watching the master `name` at `masterPort`, quick to
 * fail over (down after 1 s, quorum 1); resolves once it answers PING.
 */
export async function startSentinel(cleanups, { masterPort, name = 'relaymaster' }) {
    const port = await freePort();
    const dir = tempDir(cleanups, 'sentinel');
    const conf = path.join(dir, 'sentinel.conf');
    fs.writeFileSync(conf, [`port ${port}`, 'bind 127.0.0.1', `dir ${dir}`,
        `sentinel monitor ${name} 127.0.0.1 ${masterPort} 1`,
        `sentinel down-after-milliseconds ${name} 1000`,
        `sentinel failover-timeout ${name} 3000`, ''].join('\n'));
    const sentinel = await startProgram(cleanups, 'redis-sentinel', [conf], {
        ready: async () => (await redisCommands(port, [['PING']])).endsWith('+PONG\r\n'),
    });
    sentinel.port = port;
    return sentinel;
}

/** Until the replica at `port` has copied everything its master holds. */
export async function replicated(masterPort) {
    await waitFor(async () => (await redisCommands(masterPort, [['WAIT', 1, 1000]])) === ':1\r\n',
        'the replica to catch up');
}

/**
 * A Redis Cluster of `masters` shards, each with one replica, on free loopback ports, quick to
 * fail over (a node is given up after 1 s); resolves once every slot is served. Its nodes are
 * `cluster.nodes` (masters first), each a started redis-server with its `port`.
 */
export async function startRedisCluster(cleanups, { masters = 3, args = [] } = {}) {
    const nodes = [];
    // The bus port too is chosen below the kernel's range (by default it is the port + 10000).
    for (let i = 0; i < masters * 2; i++)
        nodes.push(await startRedis(cleanups, { args: ['--cluster-enabled', 'yes',
            '--cluster-port', String(await freePort()), '--cluster-node-timeout', '1000',
            '--cluster-config-file', `nodes-${i}.conf`, ...args] }));
    const create = await startProgram(cleanups, 'redis-cli', ['--cluster', 'create',
        ...nodes.map((n) => `127.0.0.1:${n.port}`), '--cluster-replicas', '1', '--cluster-yes']);
    const code = await new Promise((resolve) => create.proc.on('exit', resolve));
    if (code !== 0) throw new Error(`redis-cli --cluster create failed: ${create.output}`);
    await waitFor(async () => {
        const infos = await Promise.all(nodes.map((n) => redisCommands(n.port, [['CLUSTER', 'INFO']])));
        return infos.every((t) => t.includes('cluster_state:ok') && t.includes('cluster_slots_ok:16384'));
    }, 'the Redis Cluster to serve every slot', 20000);
    return { nodes };
}

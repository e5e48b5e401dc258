// The relay as a console program: its start line, bind failures on either port, and a clean
// stop on each termination signal with one LEAVE line per player still joined, health checks
// saying it drains until the ports close.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { test } from 'node:test';
import { BIN, Relay, cleanupAfter, freePortPair, makeDataRoot, waitFor } from './lib/harness.mjs';

const cleanups = cleanupAfter();

function holdPort(port, host) {
    return new Promise((resolve, reject) => {
        const srv = net.createServer();
        srv.once('error', reject);
        srv.listen(port, host, () => resolve(srv));
    });
}

test('a start writes the listening line with both addresses', async () => {
    const relay = await Relay.start();
    try {
        const lines = relay.logLines();
        assert.deepEqual(lines, [
            `INFO relay listening ws://0.0.0.0:${relay.port}  admin http://127.0.0.1:${relay.adminPort}`,
        ]);
        assert.match(relay.logText(), /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d INFO relay listening/);
        await waitFor(() => relay.stdout.includes('Tarnelle relay running. Press Ctrl+C to stop.\n'),
            'the banner');
    } finally {
        assert.equal(await relay.stop(), 0);
    }
});

for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP']) {
    test(`${signal} stops the relay cleanly and every joined player leaves`, async () => {
        const relay = await Relay.start({ cleanups });
        const a = await relay.join({ room: 'P_lobby', player: 'g1', name: 'Ann' });
        const b = await relay.join({ room: 'P_lobby', player: 'g2' });
        await relay.waitLog((l) => l.includes('(2 in room)'));
        assert.equal(await relay.stop(signal), 0);
        const lines = relay.logLines();
        const stopped = lines.indexOf('INFO relay stopped');
        assert.ok(stopped > 0, lines.join('\n'));
        assert.deepEqual(lines.slice(stopped + 1).sort(),
            ['INFO LEAVE room=P_lobby player=g1', 'INFO LEAVE room=P_lobby player=g2']);
        await Promise.all([a.closedPromise, b.closedPromise]);
    });
}

test('a stop answers health checks on both ports with 503 draining until the ports close', async () => {
    const relay = await Relay.start({ cleanups, config: { stopGraceSeconds: 3 } });
    const player = await relay.join({ room: 'P_grace', player: 'g1' });
    assert.equal((await relay.get('/healthz')).status, 200);
    relay.proc.kill('SIGTERM');
    const [game, admin] = await waitFor(async () => {
        const both = await Promise.all([relay.get('/healthz'), relay.get('/healthz', { admin: true })]);
        return both[0].status === 503 && both;
    }, 'the ports to say the relay drains');
    assert.equal(game.text, 'draining\n');
    assert.equal(admin.status, 503);
    assert.equal(JSON.parse(admin.text).status, 'draining');
    // The players leave when the ports close, as on any stop.
    assert.equal(await relay.exited, 0);
    const lines = relay.logLines();
    assert.deepEqual(lines.slice(-3), ['INFO relay stopping: health checks answer 503 for 3 s before the ports close',
        'INFO relay stopped', 'INFO LEAVE room=P_grace player=g1']);
    await player.closedPromise;
});

test('a game port in use fails the start with its error line and exit code 1', async () => {
    const port = await freePortPair();
    const holder = await holdPort(port, '0.0.0.0');
    try {
        const relay = await Relay.start({ port, waitListening: false });
        assert.equal(await relay.exited, 1);
        assert.equal(relay.stderr,
            'Relay failed to start (is the port already in use?). See relay.log.\n');
        assert.deepEqual(relay.logLines(),
            [`ERROR failed to bind game port ${port} (already in use?)`]);
    } finally {
        holder.close();
    }
});

test('an admin port in use fails the start too, and the game port is released', async () => {
    const port = await freePortPair();
    const holder = await holdPort(port + 1, '127.0.0.1');
    try {
        const relay = await Relay.start({ port, waitListening: false });
        assert.equal(await relay.exited, 1);
        assert.deepEqual(relay.logLines(), [`ERROR failed to bind admin port ${port + 1}`]);
        assert.match(relay.stderr, /Relay failed to start/);
    } finally {
        holder.close();
    }
});

test('an unwritable data directory is reported once, and the relay serves all the same', async () => {
    // A file where the data folder should be: no user, root included, can create it.
    const dataRoot = makeDataRoot();
    fs.writeFileSync(path.join(dataRoot, 'Tarnelle'), '');
    const port = await freePortPair();
    const relay = await Relay.start({ port, dataRoot, waitListening: false });
    try {
        const dir = path.join(dataRoot, 'Tarnelle', 'RelayServer');
        await waitFor(() => relay.stderr.includes('\n') || relay.exitCode !== undefined, 'the warning');
        assert.equal(relay.stderr, `tnlrelay: cannot write the data directory ${dir} (config.json, ` +
            'relay.log); set ProgramData to a writable folder to use another\n');
        const rooms = await waitFor(() => relay.get('/rooms?project=P'), 'the room list');
        assert.equal(rooms.status, 200);
        assert.equal(rooms.text, '[]');
        const ws = await relay.join({ room: 'P_lobby', player: 'g1' });
        ws.close();
        await ws.closedPromise;
    } finally {
        assert.equal(await relay.stop(), 0);
    }
});

test('the port argument is read like atoi, and the configured ports are used otherwise', async () => {
    const dataRoot = makeDataRoot();
    // Leading blanks and trailing text are read as atoi reads them.
    const relay = await Relay.start({ dataRoot, args: (port) => ['--console', ` ${port}abc`] });
    assert.equal(await relay.stop(), 0);

    // Non-positive or non-numeric overrides fall back to config.json.
    const dir = path.join(dataRoot, 'Tarnelle', 'RelayServer');
    const other = await freePortPair();
    fs.writeFileSync(path.join(dir, 'config.json'),
        JSON.stringify({ gamePort: other, adminPort: other + 1 }));
    for (const arg of ['abc', '0', '-5']) {
        fs.rmSync(path.join(dir, 'relay.log'), { force: true });
        const r = await Relay.start({ port: other, dataRoot, args: ['--console', arg] });
        assert.equal(await r.stop(), 0, arg);
    }
});

test('switches of the Windows build say so on this system and exit 1', async () => {
    for (const args of [[], ['--tray'], ['--service'], ['--install'], ['--help']]) {
        const proc = spawn(BIN, args, { env: { ...process.env, ProgramData: makeDataRoot() } });
        let err = '';
        proc.stderr.on('data', (d) => (err += d));
        const code = await new Promise((resolve) => proc.on('exit', resolve));
        assert.equal(code, 1, args.join(' '));
        assert.match(err, /belongs to the Windows build.*--console/, args.join(' '));
        assert.equal(err.trim().split('\n').length, 1);
    }
});

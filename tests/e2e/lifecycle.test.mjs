// The relay as a console program: its start line, bind failures on either port, a clean stop on
// each termination signal with one LEAVE line per player still joined, health checks saying it
// drains until the ports close, a hang-up that reloads under a service manager, the journal's
// copy of the log, and the usage.
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { test } from 'node:test';
import { BIN, Relay, cleanupAfter, freePortPair, isClusterLine, isStartNote, makeDataRoot, waitFor }
    from './lib/harness.mjs';

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

// A hang-up stops the relay only in a terminal: there it means the terminal went away.
for (const [signal, terminal] of [['SIGINT', false], ['SIGTERM', false], ['SIGHUP', true]]) {
    test(`${signal}${terminal ? ' in a terminal' : ''} stops the relay cleanly and every joined player leaves`, async () => {
        const relay = await Relay.start({ cleanups, terminal });
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

/** Rewrites config.json with `edit` applied, keeping its time, so only a reload can notice. */
function editUnnoticed(file, edit) {
    const { atime, mtime } = fs.statSync(file);
    const text = fs.readFileSync(file, 'utf8');
    const edited = edit(text);
    assert.equal(edited.length, text.length, 'the size is kept too');
    fs.writeFileSync(file, edited);
    fs.utimesSync(file, atime, mtime);
}

test('under a service manager SIGHUP reads config.json at once and reopens relay.log, and the relay runs on',
     async () => {
    const dataRoot = makeDataRoot();
    const dir = path.join(dataRoot, 'Tarnelle', 'RelayServer');
    fs.mkdirSync(dir, { recursive: true });
    fs.writeFileSync(path.join(dir, 'config.json'),
        JSON.stringify({ bans: [{ ip: '127.0.0.9', name: 'other' }] }));
    const relay = await Relay.start({ dataRoot, env: { INVOCATION_ID: '0123456789abcdef' } });
    try {
        const a = await relay.join({ room: 'P_lobby', player: 'g1' });
        // Ban this machine by hand, in an edit the relay's own checks cannot see.
        editUnnoticed(relay.configPath, (t) => t.replace('127.0.0.9', '127.0.0.1'));
        // A rotation tool moves the log away, then asks for the reload.
        fs.renameSync(relay.logPath, `${relay.logPath}.1`);
        process.kill(relay.proc.pid, 'SIGHUP');
        await waitFor(() => relay.logText().includes(
            'INFO reload: config.json read again: 1 bans; relay.log is reopened'), 'the reload line');
        assert.deepEqual(relay.logLines().length, 1, relay.logText());
        assert.equal(relay.exitCode, undefined, 'the relay runs on');
        await assert.rejects(relay.join({ room: 'P_lobby', player: 'g2' }), /status 403/,
                             'the ban read by the reload holds');
        assert.equal(a.readyState, a.OPEN, 'players stay');
        // A hang-up never repeats into a stop.
        process.kill(relay.proc.pid, 'SIGHUP');
        await relay.waitLog((l) => l.includes('INFO reload: config.json is unchanged') ||
                                   l.includes('INFO reload: config.json read again'));
        assert.equal(relay.exitCode, undefined);
        assert.match(fs.readFileSync(`${relay.logPath}.1`, 'latin1'), /relay listening/);
    } finally {
        assert.equal(await relay.stop('SIGTERM'), 0);
    }
});

test('started by systemd, every log line also reaches the journal on stderr with its level',
     async () => {
    const relay = await Relay.start({ journal: true });
    // Whole lines only, without those of a run on Redis.
    const journal = () => relay.stderr.slice(0, relay.stderr.lastIndexOf('\n') + 1).split('\n')
        .filter((l) => l && !isClusterLine(l.replace(/^<6>/, 'INFO ')) &&
                       !isStartNote(l.replace(/^<6>/, 'INFO ')));
    try {
        await waitFor(() => journal().length, 'the journal line of the start');
        assert.deepEqual(journal(),
            [`<6>relay listening ws://0.0.0.0:${relay.port}  admin http://127.0.0.1:${relay.adminPort}`]);
        // JOURNAL_STREAM set by systemd also makes a hang-up a reload; a broken file an error.
        fs.writeFileSync(relay.configPath, '{');
        process.kill(relay.proc.pid, 'SIGHUP');
        await waitFor(() => journal().length > 1, 'the error line');
        assert.match(journal()[1], /^<3>reload: config\.json cannot be used \(missing, /);
        assert.equal(journal().length, 2, relay.stderr);
        const file = relay.logText();
        assert.doesNotMatch(file, /<\d>/, 'relay.log holds its own lines only');
        assert.match(file, /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d ERROR reload: config\.json cannot be used/m);
        assert.equal(await relay.stop('SIGTERM'), 0);
        assert.equal(journal().at(-1), '<6>relay stopped');
    } finally {
        await relay.stop();
    }

    // A JOURNAL_STREAM inherited by a relay whose stderr goes elsewhere is not the journal.
    const other = await Relay.start({ env: { JOURNAL_STREAM: '8:42' } });
    assert.equal(await other.stop(), 0);
    assert.equal(other.stderr, '');
});

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

test('--help and -h print every switch and exit 0', async () => {
    for (const flag of ['--help', '-h']) {
        const run = spawnSync(BIN, [flag], { encoding: 'utf8' });
        assert.equal(run.status, 0, flag);
        assert.equal(run.stderr, '');
        for (const each of ['--console [port]', '--version', '--help, -h', '--tray', '--service',
                            '--install', '--uninstall', '--svc-start', '--svc-stop', '--svc-restart',
                            '--svc-autostart on|off'])
            assert.ok(run.stdout.includes(each), `${flag} lists ${each}:\n${run.stdout}`);
    }
});

test('switches of the Windows build say so on this system and exit 1', async () => {
    for (const args of [[], ['--tray'], ['--service'], ['--install'], ['--svc-autostart', 'on']]) {
        const proc = spawn(BIN, args, { env: { ...process.env, ProgramData: makeDataRoot() } });
        let err = '';
        proc.stderr.on('data', (d) => (err += d));
        const code = await new Promise((resolve) => proc.on('exit', resolve));
        assert.equal(code, 1, args.join(' '));
        assert.match(err, /belongs to the Windows build.*--console/, args.join(' '));
        assert.equal(err.trim().split('\n').length, 1);
    }
});

// The relay on an unlucky machine: no descriptor left, a full disk, and kill -9 in the middle of
// a ban storm. What it acknowledged is stored, and its log holds whole lines only.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { Relay, cleanupAfter, tempDir, waitFor } from './lib/harness.mjs';

const cleanups = cleanupAfter();

/** An admin request on `agent` (keep-alive: the connection exists before descriptors run out). */
function adminRequest(relay, agent, method, target, body) {
    return new Promise((resolve, reject) => {
        const req = http.request({ host: '127.0.0.1', port: relay.adminPort, method, path: target,
                                   agent }, (res) => {
            const chunks = [];
            res.on('data', (d) => chunks.push(d));
            res.on('end', () => resolve({ status: res.statusCode,
                                          text: Buffer.concat(chunks).toString('utf8') }));
        });
        req.on('error', reject);
        if (body !== undefined) req.write(body);
        req.end();
    });
}

const banBody = (ip, name) => JSON.stringify({ ip, name });

/** Every line of the log is one whole line: a time stamp, a level, a message, CRLF. */
function assertWholeLines(relay) {
    const text = relay.logText();
    assert.ok(text === '' || text.endsWith('\r\n'), 'the log ends with a line end');
    for (const line of text.split('\r\n').slice(0, -1)) {
        assert.match(line, /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (INFO|ERROR) [^\r\n]*$/, 'a whole line');
        // A second time stamp inside a line means two lines were glued together.
        assert.doesNotMatch(line.slice(19), /\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (INFO|ERROR) /,
                            `no glued lines: ${line}`);
    }
}

test('with no descriptor left, every join is logged and a ban is stored', { timeout: 60000 }, async () => {
    const relay = await Relay.start({ cleanups, softFiles: 256 });
    const agent = new http.Agent({ keepAlive: true, maxSockets: 1 });
    cleanups.push(() => agent.destroy());
    assert.equal((await adminRequest(relay, agent, 'GET', '/api/state')).status, 200);
    // Started from a shell with a low soft limit, the relay raised it to the hard one, and said so.
    const hard = execFileSync('sh', ['-c', 'ulimit -Hn']).toString().trim();
    assert.ok(relay.logText().includes(`INFO descriptors: up to ${hard} open at once (the soft limit was 256, the hard limit is ${hard})`),
              relay.logText());

    // A few descriptors above what the relay holds now: the joins below use them all up.
    const pid = relay.proc.pid;
    const open = fs.readdirSync(`/proc/${pid}/fd`).length;
    execFileSync('prlimit', [`--pid=${pid}`, `--nofile=${open + 4}:${open + 4}`]);
    const joined = [];
    for (let i = 0; i < 10; i++) {
        try {
            joined.push(await relay.join({ room: 'lobby', name: `p${i}` }, { handshakeTimeout: 1000 }));
        } catch {
            // not accepted: the relay has no descriptor for it
        }
    }
    cleanups.push(() => joined.forEach((ws) => ws.terminate()));
    assert.ok(joined.length >= 2 && joined.length < 10, `joins accepted: ${joined.length}`);
    await waitFor(() => relay.logLines().filter((l) => l.startsWith('INFO JOIN')).length ===
                        joined.length, 'a JOIN line for every accepted join', 5000)
        .catch(() => assert.fail(`JOIN lines: ${relay.logLines().filter((l) => l.includes('JOIN')).length} for ${joined.length} joins`));

    // Running out is said once (not once per refused connection), and counted.
    await waitFor(() => relay.logLines().some((l) => l.startsWith('ERROR out of descriptors: ')),
                  'the line saying descriptors ran out', 5000);
    const said = relay.logLines().filter((l) => l.startsWith('ERROR out of descriptors: '));
    assert.equal(said.length, 1, said.join('\n'));
    assert.match(said[0], new RegExp(`may hold ${open + 4};`));
    const metrics = await adminRequest(relay, agent, 'GET', '/metrics');
    assert.match(metrics.text, /^tnlrelay_accept_out_of_descriptors_total [1-9]/m);

    const res = await adminRequest(relay, agent, 'POST', '/api/ban', banBody('198.51.100.9', 'x'));
    assert.equal(res.status, 200, res.text);
    assert.deepEqual(JSON.parse(fs.readFileSync(relay.configPath, 'utf8')).bans,
                     [{ ip: '198.51.100.9', name: 'x' }]);
    assert.ok(relay.logLines().includes('INFO BAN ip=198.51.100.9 name=x'));
    assertWholeLines(relay);
});

test('on a full disk bans hold and say so, lines are whole, and all is stored once space returns', { timeout: 60000 }, async (t) => {
    const dataRoot = tempDir(cleanups);
    try {
        execFileSync('mount', ['-t', 'tmpfs', '-o', 'size=64k', 'tmpfs', dataRoot],
                     { stdio: 'pipe' });
    } catch (e) {
        t.skip(`a small tmpfs cannot be mounted here (needs root and mount rights): ${e.message}`);
        return;
    }
    cleanups.push(() => execFileSync('umount', ['-l', dataRoot]));

    const relay = await Relay.start({ cleanups, dataRoot });
    const agent = new http.Agent({ keepAlive: true });
    cleanups.push(() => agent.destroy());
    // Fill the disk to the last byte.
    const filler = path.join(dataRoot, 'filler');
    const fd = fs.openSync(filler, 'w');
    try {
        for (;;) fs.writeSync(fd, Buffer.alloc(1024, 'f'));
    } catch (e) {
        assert.equal(e.code, 'ENOSPC');
    }
    for (;;) {
        try {
            fs.writeSync(fd, Buffer.alloc(1, 'f'));
        } catch {
            break;
        }
    }
    fs.closeSync(fd);

    const acknowledged = [];
    for (let i = 0; i < 20; i++) {
        const ip = `198.51.100.${i}`;
        const res = await adminRequest(relay, agent, 'POST', '/api/ban',
                                       banBody(ip, `banned-${i}-${'b'.repeat(i)}`));
        if (res.status === 200) acknowledged.push(ip);
        else assert.equal(res.status, 500, res.text);
        assert.equal((await relay.state()).bans.length, i + 1, 'the ban holds either way');
    }
    assert.equal((await relay.state()).configSaved, false);
    assertWholeLines(relay);

    fs.rmSync(filler);
    await waitFor(async () => (await relay.state()).configSaved, 'the retried save', 8000);
    await adminRequest(relay, agent, 'POST', '/api/unban', banBody('198.51.100.0'));
    assertWholeLines(relay);
    assert.ok(relay.logLines().includes('INFO UNBAN ip=198.51.100.0'));

    await relay.stop();
    const again = await Relay.start({ cleanups, dataRoot, port: relay.port });
    const bans = (await again.state()).bans.map((b) => b.ip);
    assert.equal(bans.length, 19, 'every ban but the one lifted survived the restart');
    for (const ip of acknowledged.filter((ip) => ip !== '198.51.100.0')) assert.ok(bans.includes(ip), ip);
});

test('kill -9 during a ban storm loses no acknowledged ban and leaves no temporary file', { timeout: 60000 }, async () => {
    const dataRoot = tempDir(cleanups);
    const acknowledged = new Set();
    let port;
    for (let round = 0; round < 6; round++) {
        const relay = await Relay.start({ cleanups, dataRoot, port });
        port = relay.port;
        const leftovers = fs.readdirSync(relay.dataDir).filter((n) => n.includes('.tmp.'));
        assert.deepEqual(leftovers, [], `round ${round}: temporary files after the start`);
        const agent = new http.Agent({ keepAlive: true, maxSockets: 4 });
        let stop = false;
        const storm = Array.from({ length: 4 }, async (_, lane) => {
            for (let i = 0; !stop; i++) {
                const ip = `10.${round}.${lane}.${i % 250}`;
                try {
                    const res = await adminRequest(relay, agent, 'POST', '/api/ban', banBody(ip, 'n'));
                    if (res.status === 200) acknowledged.add(ip);
                } catch {
                    return; // the relay is gone
                }
            }
        });
        await new Promise((r) => setTimeout(r, 150 + 40 * round));
        relay.proc.kill('SIGKILL');
        await relay.exited;
        stop = true;
        await Promise.all(storm);
        agent.destroy();
    }
    const relay = await Relay.start({ cleanups, dataRoot, port });
    assert.deepEqual(fs.readdirSync(relay.dataDir).filter((n) => n.includes('.tmp.')), []);
    const stored = new Set((await relay.state()).bans.map((b) => b.ip));
    assert.ok(acknowledged.size > 0);
    for (const ip of acknowledged) assert.ok(stored.has(ip), `acknowledged ban ${ip} was lost`);
});

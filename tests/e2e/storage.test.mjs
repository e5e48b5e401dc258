// What the relay keeps on disk while it runs: hand edits of config.json are picked up and kept,
// a broken edit is left alone, and leftovers of interrupted saves are cleared at start.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { Relay, TEST_REDIS, cleanupAfter, makeDataRoot } from './lib/harness.mjs';

const cleanups = cleanupAfter();

test('a hand edit made while the relay runs is used within seconds and kept by the next ban', { timeout: 60000 }, async () => {
    const relay = await Relay.start({ cleanups });
    await assert.doesNotReject(relay.join({ room: 'lobby', name: 'Ann' }).then((ws) => ws.close()));

    // An editor that writes a new file and renames it over the old one, as most do.
    const edited = { bans: [{ ip: '127.0.0.1', name: 'by hand' }], notes: 'kept for later' };
    fs.writeFileSync(relay.configPath + '.edit', JSON.stringify(edited));
    fs.renameSync(relay.configPath + '.edit', relay.configPath);
    await relay.waitLog('INFO config.json changed on disk and was read again: 1 bans',
                        'the edit to be read', 8000);
    await assert.rejects(relay.join({ room: 'lobby', name: 'Ann' }), /status 403/);
    assert.deepEqual((await relay.state()).bans, [{ ip: '127.0.0.1', name: 'by hand' }]);

    assert.equal((await relay.post('/api/ban', { ip: '198.51.100.7', name: 'Bob' })).status, 200);
    const saved = JSON.parse(fs.readFileSync(relay.configPath, 'utf8'));
    assert.equal(saved.notes, 'kept for later');
    assert.deepEqual(saved.bans.map((b) => b.ip), ['127.0.0.1', '198.51.100.7']);

    // A broken edit: one ERROR line, the running bans stay, the file stays as written.
    fs.writeFileSync(relay.configPath, '{"bans": [');
    await relay.waitLog((l) => l.startsWith('ERROR config.json changed but cannot be used'),
                        'the broken edit to be reported', 8000);
    assert.equal((await relay.state()).bans.length, 2);
    assert.equal(fs.readFileSync(relay.configPath, 'utf8'), '{"bans": [');
    assert.equal(relay.logLines().filter((l) => l.startsWith('ERROR config.json')).length, 1);
});

test('a ban that cannot be stored holds, answers 500 and is stored by a later retry', { timeout: 60000 }, async () => {
    const relay = await Relay.start({ cleanups });
    fs.rmSync(relay.configPath, { force: true }); // a run on Redis wrote one at start
    fs.mkdirSync(relay.configPath); // a folder where the file belongs: saves fail
    const ws = await relay.join({ room: 'lobby', name: 'Eve' });
    const res = await relay.post('/api/ban', { ip: '127.0.0.1', name: 'Eve' });
    assert.equal(res.status, 500);
    assert.equal(res.headers.get('content-type'), 'application/json');
    assert.equal(res.headers.get('access-control-allow-origin'), '*');
    const body = JSON.parse(res.text);
    assert.equal(body.ok, false);
    assert.match(body.error, /config\.json could not be written/);
    assert.equal(await ws.closedPromise !== undefined, true, 'the banned player is gone at once');
    await assert.rejects(relay.join({ room: 'lobby' }), /status 403/);
    const state = await relay.state();
    assert.equal(state.configSaved, false);
    assert.deepEqual(state.bans, [{ ip: '127.0.0.1', name: 'Eve' }]);
    assert.equal(relay.logLines().filter((l) => l.startsWith('ERROR config.json could not be written, so BAN ip=127.0.0.1 name=Eve')).length, 1);

    fs.rmdirSync(relay.configPath);
    await relay.waitLog('INFO config.json saved: it holds every ban and unban again', 'the retry', 8000);
    assert.equal((await relay.state()).configSaved, true);
    assert.deepEqual(JSON.parse(fs.readFileSync(relay.configPath, 'utf8')).bans,
                     [{ ip: '127.0.0.1', name: 'Eve' }]);
});

test('temporary files of interrupted saves are removed at start, and only those', { timeout: 60000 }, async () => {
    const dataRoot = makeDataRoot();
    const dir = path.join(dataRoot, 'Tarnelle', 'RelayServer');
    fs.mkdirSync(dir, { recursive: true });
    const stale = ['config.json.tmp.4242.0', 'config.json.tmp.4242.1', 'config.json.tmp.77.3'];
    for (const name of stale) fs.writeFileSync(path.join(dir, name), '{"bans": [');
    fs.writeFileSync(path.join(dir, 'config.json.tmp.notes'), 'mine');
    const relay = await Relay.start({ cleanups, dataRoot });
    assert.deepEqual(fs.readdirSync(dir).filter((n) => n.startsWith('config.json')).sort(),
                     [...(TEST_REDIS ? ['config.json'] : []), 'config.json.tmp.notes']);
    assert.ok(relay.logLines().includes(
        'INFO removed 3 temporary files left by interrupted saves of config.json'));
});

// The game endpoint with real WebSocket clients: joining, relaying between members of one
// instance only, spilling into instances, refusals, the room list and state documents, leaving,
// slow readers, and hostile values in join requests.
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import net from 'node:net';
import { before, test } from 'node:test';
import { CLUSTER_STATE_KEYS, Relay, cleanupAfter, openSocket, rawExchange, upgradeRequest,
         waitFor } from './lib/harness.mjs';

const cleanups = cleanupAfter();
let relay;
before(async () => (relay = await Relay.start({ cleanups, stopsCleanly: true })));

const closeAll = (...sockets) => Promise.all(sockets.map((s) => {
    s.close();
    return s.closedPromise;
}));

function rss(pid) {
    const m = fs.readFileSync(`/proc/${pid}/status`, 'utf8').match(/VmRSS:\s+(\d+) kB/);
    return Number(m[1]) * 1024;
}

test('messages reach every other member of the room once, unchanged, never the sender', async () => {
    const room = 'R_three';
    const a = await relay.join({ room, player: 'a' });
    const b = await relay.join({ room, player: 'b' });
    const c = await relay.join({ room, player: 'c' });
    const big = crypto.randomBytes(5 * 1024 * 1024);
    b.send('hello from b');
    b.send(Buffer.from([0, 1, 2, 255]), { binary: true });
    b.send('');
    b.send(Buffer.alloc(0), { binary: true });
    b.send(big, { binary: true });
    for (const ws of [a, c]) {
        await waitFor(() => ws.received.length >= 5, 'five messages');
        const [text, bin, emptyText, emptyBin, large] = ws.received;
        assert.equal(text.isBinary, false);
        assert.equal(text.data.toString(), 'hello from b');
        assert.equal(bin.isBinary, true);
        assert.deepEqual([...bin.data], [0, 1, 2, 255]);
        assert.equal(emptyText.isBinary, false);
        assert.equal(emptyText.data.length, 0);
        assert.equal(emptyBin.isBinary, true);
        assert.equal(emptyBin.data.length, 0);
        assert.ok(large.data.equals(big), 'the multi-megabyte message arrived intact');
    }
    // Give a stray echo or duplicate time to show up.
    a.send('ping from a');
    await waitFor(() => c.received.length === 6 && b.received.length === 1, 'the last message');
    assert.equal(b.received[0].data.toString(), 'ping from a', 'b got only what others sent');
    assert.equal(a.received.length, 5, 'no echo to a');
    assert.equal(c.received.length, 6);
    await closeAll(a, b, c);
});

test('full rooms spill into numbered instances that never hear each other', async () => {
    const base = 'S_spill';
    const join = (player) => relay.join({ room: base, player, max: '2' });
    const a = await join('a');
    const b = await join('b');
    const c = await join('c');
    const d = await join('d');
    await relay.waitLog(`INFO JOIN room=${base}#2 player=d ip=127.0.0.1 (2 in room)`);
    assert.ok(relay.logLines().includes(`INFO JOIN room=${base} player=b ip=127.0.0.1 (2 in room)`));
    const state = await relay.state();
    const rooms = Object.fromEntries(state.players.filter((p) => p.room.startsWith(base))
        .map((p) => [p.guid, p.room]));
    assert.deepEqual(rooms, { a: base, b: base, c: `${base}#2`, d: `${base}#2` });

    a.send('to the first instance');
    c.send('to the second instance');
    await waitFor(() => b.received.length === 1 && d.received.length === 1, 'deliveries');
    assert.equal(b.received[0].data.toString(), 'to the first instance');
    assert.equal(d.received[0].data.toString(), 'to the second instance');

    // A seat frees up in the first instance: the next joiner takes it, not a third instance.
    await closeAll(b);
    await relay.waitLog(`INFO LEAVE room=${base} player=b`);
    const e = await join('e');
    await relay.waitLog(`INFO JOIN room=${base} player=e ip=127.0.0.1 (2 in room)`);
    await closeAll(a, c, d, e);
});

test('refusals answer with their status, body and log line', async () => {
    const missing = await rawExchange(relay.port, upgradeRequest('/?player=x'));
    assert.ok(missing.closed);
    assert.match(missing.data.toString(), /^HTTP\/1\.1 400 [^\r]*\r\n/);
    assert.ok(missing.data.toString().endsWith('\r\n\r\nmissing room\n'));

    const plain = await rawExchange(relay.port, 'GET / HTTP/1.1\r\nHost: x\r\n\r\n');
    assert.match(plain.data.toString(), /^HTTP\/1\.1 426 /);
    assert.ok(plain.data.toString().endsWith('\r\n\r\nexpected websocket\n'));

    // A room list request with an Upgrade header is still a room list, on a live connection.
    const list = await rawExchange(relay.port, upgradeRequest('/rooms?project=Nobody'), { timeoutMs: 300 });
    assert.match(list.data.toString(), /^HTTP\/1\.1 200 /);
    assert.ok(list.data.toString().includes('Content-Type: application/json\r\n' +
        'Access-Control-Allow-Origin: *\r\n'));
    assert.ok(list.data.toString().endsWith('\r\n\r\n[]'));
    assert.equal(list.closed, false, 'the room list keeps the connection open');

    // An upgrade without a key joins, is refused by the handshake and leaves at once.
    const noKey = await rawExchange(relay.port,
                                    upgradeRequest('/?room=K_nokey&player=nk&name=NoKey', { key: null }));
    assert.match(noKey.data.toString(), /^HTTP\/1\.1 426 /);
    await relay.waitLog('INFO LEAVE room=K_nokey player=nk');
    assert.ok(relay.logLines().includes('INFO JOIN room=K_nokey player=NoKey ip=127.0.0.1 (1 in room)'));

    assert.ok(!relay.logLines().some((l) => l.includes('player=x')), 'a refused join is not logged');
});

test('the room list folds instances and filters by project', async () => {
    const members = [];
    for (const [room, n] of [['P_lobby', 3], ['P_duel', 2], ['Q_lobby', 1], ['Plobby', 1]]) {
        for (let i = 0; i < n; i++) members.push(await relay.join({ room, player: `${room}${i}`, max: '2' }));
    }
    const project = JSON.parse((await relay.get('/rooms?project=P')).text);
    assert.deepEqual(project, [{ count: 2, room: 'duel' }, { count: 3, room: 'lobby' }]);
    const text = (await relay.get('/rooms?project=P')).text;
    assert.equal(text, '[{"count":2,"room":"duel"},{"count":3,"room":"lobby"}]', 'compact, keys sorted');
    const all = JSON.parse((await relay.get('/rooms')).text)
        .filter((r) => /^(P_|Q_|Plobby)/.test(r.room));
    assert.deepEqual(all, [
        { count: 2, room: 'P_duel' }, { count: 3, room: 'P_lobby' }, { count: 1, room: 'Plobby' },
        { count: 1, room: 'Q_lobby' }]);
    assert.deepEqual(JSON.parse((await relay.get('/rooms?project=p')).text), []);

    const state = await relay.state();
    assert.deepEqual(Object.keys(state).filter((k) => !CLUSTER_STATE_KEYS.includes(k)), ['bans', 'configSaved', 'gamePort', 'limitRefusals', 'logPath', 'players', 'rooms']);
    assert.equal(state.gamePort, relay.port);
    assert.equal(state.logPath, relay.logPath);
    const p = state.players.find((x) => x.guid === 'P_lobby2');
    assert.deepEqual(Object.keys(p), ['category', 'connId', 'game', 'guid', 'ip', 'listed', 'name',
        'owner', 'pid', 'room', 'thumbnail']);
    assert.equal(p.room, 'P_lobby#2');
    await closeAll(...members);
    await waitFor(async () => JSON.parse((await relay.get('/rooms?project=P')).text).length === 0,
        'the rooms to vanish with their members');
});

test('leaving writes one LEAVE line with the identity; room-list connections write none', async () => {
    const a = await relay.join({ room: 'L_room', player: 'guid-a', name: 'Alice' });
    const b = await relay.join({ room: 'L_room', player: 'guid-b', name: 'Bob' });
    await relay.waitLog('INFO JOIN room=L_room player=Alice ip=127.0.0.1 (1 in room)');
    await relay.get('/rooms');
    await closeAll(a);
    await relay.waitLog('INFO LEAVE room=L_room player=guid-a');
    b.send('still here');
    await closeAll(b);
    await relay.waitLog('INFO LEAVE room=L_room player=guid-b');
    const leaves = relay.logLines().filter((l) => l.includes('LEAVE room=L_room'));
    assert.equal(leaves.length, 2);
    assert.equal(relay.logLines().filter((l) => l.startsWith('INFO LEAVE room= ')).length, 0);
});

test('a close frame is a leave at once, though the client keeps its socket open', async () => {
    // Half open: the relay's end of sending does not end ours.
    const client = net.connect({ port: relay.port, host: '127.0.0.1', allowHalfOpen: true });
    cleanups.push(() => client.destroy());
    let received = Buffer.alloc(0);
    client.on('data', (d) => (received = Buffer.concat([received, d])));
    await new Promise((resolve) => client.on('connect', resolve));
    client.write(upgradeRequest('/?room=C_close&player=closer'));
    await relay.waitLog('INFO JOIN room=C_close player=closer ip=127.0.0.1 (1 in room)');
    client.write(Buffer.from([0x88, 0x82, 1, 2, 3, 4, 0x03 ^ 1, 0xE8 ^ 2])); // masked close 1000
    // The relay answers after it has taken the leave: seen then, not after the socket's linger.
    await waitFor(() => received.includes(Buffer.from([0x88, 0x02, 0x03, 0xE8])), 'the close answered');
    assert.ok(relay.logLines().includes('INFO LEAVE room=C_close player=closer'), 'the LEAVE line');
    assert.ok(!(await relay.state()).players.some((p) => p.guid === 'closer'), 'gone from the state');
    assert.equal((await relay.get('/rooms?project=C')).text, '[]');
    client.destroy();
});

test('hostile names and rooms cannot forge log lines or break the documents', async () => {
    const name = 'Eve\nINFO KICK connId=1 ip=9.9.9.9';
    // Raw bytes that are not UTF-8, sent percent-encoded.
    const target = '/?room=' + encodeURIComponent('H_') + '%0D%0AINFO%20BAN%20ip%3D1.2.3.4%20%FF%FE' +
        '&name=' + encodeURIComponent(name) + '&player=%C3%28';
    const ws = await openSocket(relay.url(target));
    await relay.waitLog((l) => l.startsWith('INFO JOIN room=H_'));
    const text = relay.logText();
    for (const line of text.split('\r\n').filter(Boolean))
        assert.match(line, /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (INFO|ERROR) /, `a line of its own: ${line}`);
    assert.ok(text.includes('\\x0D\\x0AINFO BAN'), 'control bytes written as escapes');
    const rooms = await relay.get('/rooms');
    const parsed = JSON.parse(rooms.text);
    assert.ok(parsed.some((r) => r.room.startsWith('H_\r\nINFO BAN') && r.room.includes('\ufffd')));
    const state = await relay.state();
    assert.ok(state.players.some((p) => p.name === name && p.guid === '\ufffd('));
    ws.close();
});

test('a member that stops reading is cut off while the others go on', async () => {
    const room = 'F_flood';
    const sender = await relay.join({ room, player: 'sender' });
    const reader = await relay.join({ room, player: 'reader' });
    // The sleeper completes the handshake on a raw socket and then never reads again.
    const sleeper = net.connect(relay.port, '127.0.0.1');
    await new Promise((resolve) => sleeper.on('connect', resolve));
    sleeper.write(upgradeRequest(`/?room=${room}&player=sleeper`));
    await relay.waitLog(`INFO JOIN room=${room} player=sleeper ip=127.0.0.1 (3 in room)`);
    sleeper.pause();

    const payload = crypto.randomBytes(1024 * 1024);
    let peak = 0;
    let sent = 0;
    const sample = setInterval(() => (peak = Math.max(peak, rss(relay.proc.pid))), 20);
    try {
        // Flood until the sleeper is removed; every message also reaches the reader.
        const cut = `INFO LEAVE room=${room} player=sleeper (closed: not reading, unsent output over the limit)`;
        while (!relay.logLines().includes(cut) && sent < 800) {
            sender.send(payload, { binary: true });
            sent++;
            await waitFor(() => reader.received.length >= sent - 8, 'the reader to keep up', 20000);
        }
        assert.ok(sent < 800, `the sleeper was not removed after ${sent} MiB`);
        sender.send('after the flood');
        await waitFor(() => reader.received.length === sent + 1, 'the reader to get everything', 30000);
        assert.ok(reader.received.slice(0, sent).every((m) => m.data.equals(payload)));
        assert.equal(reader.received[sent].data.toString(), 'after the flood');
    } finally {
        clearInterval(sample);
        sleeper.destroy();
    }
    assert.ok(peak < 900 * 1024 * 1024, `server memory stayed bounded (peak ${peak >> 20} MiB)`);
    await closeAll(sender, reader);
});

test('a banned address is refused before anything else is checked', async () => {
    const own = await Relay.start();
    try {
        const member = await own.join({ room: 'B_room', player: 'victim' });
        const ban = await own.post('/api/ban', { ip: '127.0.0.1' });
        assert.equal(ban.status, 200);
        assert.equal(await member.closedPromise, 1006, 'closed without a close frame');
        for (const target of ['/?room=B_room&player=again', '/?player=no-room']) {
            const res = await rawExchange(own.port, upgradeRequest(target, { key: 'abc', version: null }));
            assert.match(res.data.toString(), /^HTTP\/1\.1 403 /);
            assert.ok(res.data.toString().endsWith('\r\n\r\nbanned\n'));
            assert.ok(res.closed);
        }
        const rejects = own.logLines().filter((l) => l === 'INFO REJECT banned ip=127.0.0.1');
        assert.equal(rejects.length, 2);
        assert.equal(JSON.parse((await own.get('/rooms')).text).length, 0);
    } finally {
        assert.equal(await own.stop(), 0);
    }
});

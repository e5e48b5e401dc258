// Several relay nodes on one real redis-server: rooms that span nodes, seats counted across the
// cluster, shared bans, a node killed, Redis killed and restarted, and hostile data on the
// relay's channels. Every process is started here on free loopback ports and stopped here.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import net from 'node:net';
import { Relay, cleanupAfter, freePort, hasReceived, redisCommands, startRedis, upgradeRequest,
         roomSpansNodes, waitFor } from './lib/harness.mjs';
import { scrape } from './lib/metrics.mjs';

const cleanups = cleanupAfter();

/** One Redis command over a fresh connection; resolves with the raw reply text. */
const redisCommand = (port, args) => redisCommands(port, [args]);

async function startNode(redis, name, { linked = true, host = '127.0.0.1', port = redis.port, bans, login } = {}) {
    const relay = await Relay.start({ cleanups, stopSignal: 'SIGKILL',
        config: { clusterRedis: `${host}:${port}`, nodeName: name, bans, ...login } });
    if (linked)
        await relay.waitLog((l) => l.startsWith('INFO cluster: linked to Redis'), `node ${name} linked`);
    return relay;
}

async function cluster(count = 3) {
    const redis = await startRedis(cleanups);
    const nodes = [];
    for (let i = 1; i <= count; i++) nodes.push(await startNode(redis, `node${i}`));
    return { redis, nodes };
}

const roomOf = async (relay, name) => (await relay.state()).players.find((p) => p.name === name)?.room;
const roomsText = async (relay) => (await relay.get('/rooms')).text;

test('members on three nodes hear each other in order; spill and the room list count the whole cluster', { timeout: 60000 }, async () => {
    const { nodes: [a, b, c] } = await cluster();

    // Two seats cluster-wide: the third joiner spills whichever node it comes through.
    const a1 = await a.join({ room: 'lobby', name: 'a1', max: 2 });
    const b1 = await b.join({ room: 'lobby', name: 'b1', max: 2 });
    const c1 = await c.join({ room: 'lobby', name: 'c1', max: 2 });
    const a2 = await a.join({ room: 'lobby', name: 'a2', max: 2 });
    const b2 = await b.join({ room: 'lobby', name: 'b2', max: 2 });
    assert.deepEqual([await roomOf(a, 'a1'), await roomOf(b, 'b1'), await roomOf(c, 'c1'),
        await roomOf(a, 'a2'), await roomOf(b, 'b2')], ['lobby', 'lobby', 'lobby#2', 'lobby#2', 'lobby#3']);
    const expected = JSON.stringify([{ count: 5, room: 'lobby' }]);
    for (const node of [a, b, c])
        await waitFor(async () => (await roomsText(node)) === expected, 'the same room list everywhere');
    for (const ws of [a1, b1, c1, a2, b2]) ws.close();

    const x = await a.join({ room: 'chat', name: 'x' });
    const y = await b.join({ room: 'chat', name: 'y' });
    const z = await c.join({ room: 'chat', name: 'z' });
    await roomSpansNodes([a, b, c], 'chat');
    const count = 200;
    for (let i = 0; i < count; i++) {
        x.send(`x${i}`);
        y.send(Buffer.from(`y${i}`), { binary: true });
    }
    const from = (ws, who) => ws.received.filter((m) => String(m.data).startsWith(who));
    await waitFor(() => from(z, 'x').length === count && from(z, 'y').length === count &&
        from(y, 'x').length === count && from(x, 'y').length === count, 'every message everywhere');
    const seq = (who) => Array.from({ length: count }, (_, i) => `${who}${i}`);
    for (const [ws, who] of [[z, 'x'], [z, 'y'], [y, 'x'], [x, 'y']])
        assert.deepEqual(from(ws, who).map((m) => String(m.data)), seq(who), `order of ${who}`);
    assert.ok(from(z, 'x').every((m) => !m.isBinary) && from(z, 'y').every((m) => m.isBinary),
        'opcodes kept');
    assert.equal(from(x, 'x').length + from(y, 'y').length, 0, 'no one hears an echo');
    await new Promise((r) => setTimeout(r, 200));
    assert.equal(z.received.length, 2 * count, 'each message arrives once');

    // A frame sent in the same packet as the join request, before the answer that waits for
    // Redis, is kept and relayed.
    const eager = net.connect(c.port, '127.0.0.1');
    cleanups.push(() => eager.destroy());
    eager.on('connect', () => eager.write(Buffer.concat([Buffer.from(upgradeRequest('/?room=chat&name=eager')),
        Buffer.from([0x81, 5]), Buffer.from('early')])));
    await waitFor(() => [x, y, z].every((ws) => hasReceived(ws, 'early')),
        'the early frame on every node');
});

test('a ban on one node refuses and disconnects on the others, and each node stores it', { timeout: 60000 }, async () => {
    const { nodes: [a, b, c] } = await cluster();
    const onB = await b.join({ room: 'lobby', name: 'Eve' });
    const onC = await c.join({ room: 'other', name: 'Eve2' });
    const res = await a.post('/api/ban', { ip: '127.0.0.1', name: 'Eve' });
    assert.equal(res.status, 200);
    await Promise.all([onB.closedPromise, onC.closedPromise]);
    await assert.rejects(c.join({ room: 'lobby' }), /status 403/);
    for (const node of [b, c]) {
        await waitFor(() => fs.existsSync(node.configPath) &&
            JSON.parse(fs.readFileSync(node.configPath, 'utf8')).bans?.some((x) => x.ip === '127.0.0.1'),
            'the ban in every config.json');
        const saved = JSON.parse(fs.readFileSync(node.configPath, 'utf8'));
        assert.ok(saved.clusterRedis && saved.nodeName, 'the cluster keys survive the rewrite');
    }
    // An unban through another node lifts it everywhere.
    await c.post('/api/unban', { ip: '127.0.0.1' });
    await waitFor(() => b.join({ room: 'lobby' }).then((ws) => (ws.close(), true), () => false),
        'the unban to reach the other node');
});

test('the seats of a node killed with SIGKILL are free again within 10 s', { timeout: 60000 }, async () => {
    const { nodes: [a, b] } = await cluster(2);
    await b.join({ room: 'full', name: 'p1', max: 2 });
    await b.join({ room: 'full', name: 'p2', max: 2 });
    const early = await a.join({ room: 'full', name: 'early', max: 2 });
    assert.equal(await roomOf(a, 'early'), 'full#2');
    early.close();
    await waitFor(async () => (await roomsText(a)) === JSON.stringify([{ count: 2, room: 'full' }]),
        'the other node\'s seats in the room list');
    const killedAt = Date.now();
    b.proc.kill('SIGKILL');
    await b.exited;
    await waitFor(async () => (await roomsText(a)) === '[]', 'the dead node\'s seats to go', 10000);
    const later = await a.join({ room: 'full', name: 'later', max: 2 });
    assert.equal(await roomOf(a, 'later'), 'full');
    assert.ok(Date.now() - killedAt < 10000, 'within 10 s');
    assert.deepEqual((await a.state()).cluster.nodes.map((n) => n.node), ['node1']);
    later.close();
});

test('without Redis the nodes relay and place joins alone; when it is back, counts are reconciled', { timeout: 60000 }, async () => {
    const { redis, nodes: [a, b] } = await cluster(2);
    const a1 = await a.join({ room: 'r', name: 'a1' });
    const b1 = await b.join({ room: 'r', name: 'b1' });
    await roomSpansNodes([a, b], 'r');
    await redis.stop('SIGKILL');
    await a.waitLog((l) => l.startsWith('ERROR cluster: lost the link to Redis'), 'the ERROR line');
    assert.equal((await a.state()).cluster.link, 'down');
    // The admin port shows the link for an alert; the game port stays healthy for the balancer,
    // since local relaying works.
    const linkShown = async (node) => [JSON.parse((await node.get('/healthz', { admin: true })).text).cluster,
        (await scrape(node)).get('tnlrelay_cluster_link_up')];
    assert.deepEqual(await linkShown(a), ['down', 0]);
    assert.equal((await a.get('/healthz')).status, 200);

    // Local relaying and local joins go on.
    const a2 = await a.join({ room: 'r', name: 'a2' });
    const b2 = await b.join({ room: 'r', name: 'b2' });
    a2.send('local only');
    await waitFor(() => hasReceived(a1, 'local only'), 'a local message');
    b1.close();
    // A node started while Redis is away says so once and serves its own players.
    const c = await startNode(redis, 'node3', { linked: false });
    await c.waitLog((l) => l.startsWith('ERROR cluster: cannot reach Redis'), 'the ERROR line at start');
    const c1 = await c.join({ room: 'r', name: 'c1' });
    await new Promise((r) => setTimeout(r, 1500));
    assert.equal(c.logLines().filter((l) => l.startsWith('ERROR cluster')).length, 1, 'one ERROR line, not one per retry');

    await startRedis(cleanups, { port: redis.port });
    const back = Date.now();
    for (const [node, lines] of [[a, 2], [b, 2], [c, 1]])
        await waitFor(() => node.logLines().filter((x) => x.startsWith('INFO cluster: linked')).length === lines,
            'the INFO line when back');
    const expected = JSON.stringify([{ count: 4, room: 'r' }]);
    for (const node of [a, b, c])
        await waitFor(async () => (await roomsText(node)) === expected, 'reconciled counts', 5000);
    assert.ok(Date.now() - back < 6000, 're-registered within 5 s of Redis answering');
    assert.deepEqual(await linkShown(a), ['up', 1]);
    await roomSpansNodes([a, b, c], 'r');
    b2.send('across again');
    await waitFor(() => hasReceived(a1, 'across again'), 'messages across nodes again');
    for (const ws of [a1, a2, b2, c1]) ws.close();
});

/**
 * A TCP relay to Redis whose connections so far can be frozen (open, but silent both ways), or
 * which can be cut (every connection closed, new ones closed at once) and restored. With
 * `delayMs`, what the relay sends reaches Redis that much later (in order), as over a slow link.
 */
async function freezableProxy(target, { delayMs = 0 } = {}) {
    const pairs = [];
    let cut = false;
    const server = net.createServer((client) => {
        if (cut) return client.destroy();
        const pair = { frozen: false, client, upstream: net.connect(target, '127.0.0.1') };
        pairs.push(pair);
        const forward = (d) => pair.frozen || pair.upstream.write(d);
        client.on('data', (d) => (delayMs ? setTimeout(forward, delayMs, d) : forward(d)));
        pair.upstream.on('data', (d) => pair.frozen || client.write(d));
        client.on('error', () => pair.upstream.destroy());
        pair.upstream.on('error', () => client.destroy());
        client.on('close', () => pair.upstream.destroy());
        pair.upstream.on('close', () => client.destroy());
    });
    const port = await freePort();
    await new Promise((resolve) => server.listen(port, '127.0.0.1', resolve));
    cleanups.push(() => { for (const p of pairs) p.client.destroy(); server.close(); });
    return {
        port,
        freeze: () => pairs.forEach((p) => (p.frozen = true)),
        cut: () => {
            cut = true;
            pairs.splice(0).forEach((p) => p.client.destroy());
        },
        restore: () => (cut = false),
    };
}

test('connections to Redis that hang without closing are replaced, the subscribing one too', { timeout: 60000 }, async () => {
    const redis = await startRedis(cleanups);
    const proxy = await freezableProxy(redis.port);
    const a = await startNode(redis, 'node1', { port: proxy.port });
    const b = await startNode(redis, 'node2');
    const x = await a.join({ room: 'f', name: 'x' });
    const y = await b.join({ room: 'f', name: 'y' });
    await roomSpansNodes([a, b], 'f');
    proxy.freeze(); // as after a fail-over that moved the address: nothing answers, nothing closes
    await a.waitLog((l) => l.startsWith('ERROR cluster: lost the link to Redis'), 'the hang noticed', 10000);
    let n = 0;
    await waitFor(() => {
        y.send(`after ${n++}`);
        return x.received.some((m) => String(m.data).startsWith('after'));
    }, 'messages from the other node again', 15000);
    x.close();
    y.close();
});

test('two nodes that share a name are told so', { timeout: 60000 }, async () => {
    const redis = await startRedis(cleanups);
    const twins = [await startNode(redis, 'twin'), await startNode(redis, 'twin')];
    for (const node of twins)
        await node.waitLog((l) => l.startsWith('ERROR cluster: another relay also runs as node twin'),
            'the clash reported', 8000);
});

test('hostile data on the relay\'s channels is ignored and the nodes keep relaying', { timeout: 60000 }, async () => {
    const { redis, nodes: [a, b] } = await cluster(2);
    const x = await a.join({ room: 'chat', name: 'x' });
    const y = await b.join({ room: 'chat', name: 'y' });
    await roomSpansNodes([a, b], 'chat');
    const junk = [Buffer.alloc(0), Buffer.from('M'), Buffer.from([0x4d, 200, 0x41]),
        Buffer.from([0x4d, 1, 0x41, 9, 0x42]), Buffer.from([0x4d, 1, 0x41, 8, 0x03, 0xe8]),
        Buffer.from([0x4d, 1, 0x41, 0, 0x41]), Buffer.from([0x50, 1, 0x41, 7]),
        Buffer.from([0x42, 0]), Buffer.from([0x55, 1, 0x41, 0]), Buffer.from('\u0000\u00ff\u00fe'),
        Buffer.alloc(70000, 0xff)];
    for (const payload of junk) {
        assert.match(await redisCommand(redis.port, ['SPUBLISH', 'tnlrelay:room:chat', payload]), /^:/);
        assert.match(await redisCommand(redis.port, ['SPUBLISH', 'tnlrelay:bans', payload]), /^:/);
    }
    // A seat field of another shape and a count that is not a number in the registry.
    await redisCommand(redis.port, ['HSET', 'tnlrelay:seats:chat', 'garbage', 'x', 'node9\n1', 'nan']);
    await redisCommand(redis.port, ['SADD', 'tnlrelay:bases', 'chat']);
    x.send('still here');
    await waitFor(() => hasReceived(y, 'still here'), 'relaying after the junk');
    assert.equal(y.received.length, 1, 'no junk delivered');
    for (const node of [a, b]) {
        const state = await node.state();
        assert.equal(state.cluster.link, 'up');
        assert.ok(state.cluster.ignoredMessages >= junk.length, 'the junk was counted as ignored');
        assert.deepEqual(state.bans, []);
    }
    const joined = await b.join({ room: 'chat', name: 'late' });
    assert.equal(await roomOf(b, 'late'), 'chat');
    joined.close();
});

const ban = (node, ip, name) => node.post('/api/ban', { ip, name });
const unban = (node, ip) => node.post('/api/unban', { ip });
const bansOf = async (node) => Object.fromEntries((await node.state()).bans.map((b) => [b.ip, b.name]));
const savedBans = (node) => Object.fromEntries(
    (JSON.parse(fs.readFileSync(node.configPath, 'utf8')).bans ?? []).map((b) => [b.ip, b.name]));
const sameJson = (a, b) => JSON.stringify(a) === JSON.stringify(b);
/** The answer to a ban or unban that holds on its node but that Redis could not store. */
function assertNotShared(res) {
    assert.equal(res.status, 500, 'a change Redis did not store is not answered ok');
    const body = JSON.parse(res.text);
    assert.equal(body.ok, false);
    assert.match(body.error, /Redis could not store it/);
}

test('bans converge after a node was cut off: the latest change to each address wins everywhere', { timeout: 60000 }, async () => {
    const redis = await startRedis(cleanups);
    const proxy = await freezableProxy(redis.port);
    const a = await startNode(redis, 'node1', { port: proxy.port });
    const b = await startNode(redis, 'node2');
    for (const [ip, name] of [['198.51.100.7', 'Mallory'], ['198.51.100.9', 'Zed']])
        assert.equal((await ban(a, ip, name)).status, 200);
    const both = { '198.51.100.7': 'Mallory', '198.51.100.9': 'Zed' };
    await waitFor(async () => sameJson(await bansOf(b), both), 'the bans on the other node');

    proxy.cut();
    await a.waitLog((l) => l.startsWith('ERROR cluster: lost the link to Redis'), 'the link lost');
    // Made while a is away: an unban on b that a misses, a ban on a that b misses, and an
    // unban on a that a later ban on b overrides.
    assert.equal((await unban(b, '198.51.100.7')).status, 200);
    // Those made on the node cut off hold there, and say that the others do not have them yet.
    for (const res of [await ban(a, '198.51.100.8', 'Trudy'), await unban(a, '198.51.100.9')])
        assertNotShared(res);
    await new Promise((r) => setTimeout(r, 20)); // b's ban is the later one, by the clock too
    assert.equal((await ban(b, '198.51.100.9', 'Zed again')).status, 200);
    assert.deepEqual(await bansOf(a), { '198.51.100.7': 'Mallory', '198.51.100.8': 'Trudy' });

    proxy.restore();
    const expected = { '198.51.100.8': 'Trudy', '198.51.100.9': 'Zed again' };
    for (const node of [a, b]) {
        await waitFor(async () => sameJson(await bansOf(node), expected), 'the same bans on both nodes');
        await waitFor(() => sameJson(savedBans(node), expected), 'the same bans in both config.json');
    }
    assert.ok(a.logLines().includes('INFO UNBAN ip=198.51.100.7'), 'the missed unban applied with its line');
    assert.ok(a.logLines().includes('INFO BAN ip=198.51.100.9 name=Zed again'));
    // Settled: nothing goes back and forth afterwards.
    const lines = b.logLines().length;
    await new Promise((r) => setTimeout(r, 1500));
    assert.deepEqual(b.logLines().slice(lines).filter((l) => /BAN/.test(l)), []);
});

test('a node started with bans in its config.json shares them, unless the cluster lifted them since', { timeout: 60000 }, async () => {
    const { redis, nodes: [b] } = await cluster(1);
    await ban(b, '203.0.113.5', 'Lifted');
    await unban(b, '203.0.113.5');
    const c = await startNode(redis, 'node3', { bans: [{ ip: '203.0.113.5', name: 'Lifted' },
                                                        { ip: '203.0.113.6', name: 'Kept' }] });
    const expected = { '203.0.113.6': 'Kept' };
    for (const node of [b, c]) {
        await waitFor(async () => sameJson(await bansOf(node), expected), 'the shared ban, not the lifted one');
        await waitFor(() => sameJson(savedBans(node), expected), 'config.json');
    }
    assert.ok(c.logLines().includes('INFO UNBAN ip=203.0.113.5'));
});

test('nodes log in to a Redis that wants a password, by address or host name; a wrong one is said once, never shown, and the node relays alone', { timeout: 60000 }, async () => {
    const secret = 'pass-Word-7f3a';
    const redis = await startRedis(cleanups, { password: secret,
        args: ['--requirepass', secret, '--user', 'relay', 'on', '>relay-Secret-9c', '~*', '&*', '+@all'] });
    const a = await startNode(redis, 'node1', { login: { clusterRedisPassword: secret } });
    // The second one also names Redis by a host name, looked up away from the loop.
    const b = await startNode(redis, 'node2', { host: 'localhost',
        login: { clusterRedisUser: 'relay', clusterRedisPassword: 'relay-Secret-9c' } });
    const x = await a.join({ room: 'auth', name: 'x' });
    const y = await b.join({ room: 'auth', name: 'y' });
    await roomSpansNodes([a, b], 'auth');
    x.send('logged in');
    await waitFor(() => hasReceived(y, 'logged in'), 'a message across');

    const wrong = 'not-the-Secret-1b2c';
    const c = await startNode(redis, 'node3', { linked: false, login: { clusterRedisPassword: wrong } });
    const line = await c.waitLog((l) => l.startsWith('ERROR cluster: cannot reach Redis'), 'the ERROR line');
    assert.match(line, /authentication failed/);
    // A node that sends no password is refused its registration, said once too.
    const d = await startNode(redis, 'node4', { linked: false });
    await d.waitLog((l) => l.startsWith('ERROR cluster: ') && l.includes('NOAUTH'), 'the refusal');
    const z1 = await c.join({ room: 'auth', name: 'z1' });
    const z2 = await c.join({ room: 'auth', name: 'z2' });
    z1.send('alone');
    await waitFor(() => hasReceived(z2, 'alone'), 'relaying on the node alone');
    await new Promise((r) => setTimeout(r, 2500)); // several retries
    for (const node of [c, d]) {
        const lines = node.logLines().filter((l) => l.includes(' cluster: '));
        assert.equal(lines.filter((l) => l.startsWith('ERROR')).length, 1, 'one ERROR line, not one per retry');
        assert.ok(!lines.some((l) => l.includes('linked')), 'never said to be linked');
    }
    // A ban rewrites config.json with the login kept; the secrets are in no line and no state.
    await ban(c, '192.0.2.44', 'Nobody');
    await waitFor(() => savedBans(c)['192.0.2.44'] === 'Nobody', 'the ban saved');
    assert.equal(JSON.parse(fs.readFileSync(c.configPath, 'utf8')).clusterRedisPassword, wrong);
    for (const node of [a, b, c]) {
        const shown = node.logText() + node.stdout + node.stderr + (await node.get('/api/state', { admin: true })).text;
        for (const s of [secret, 'relay-Secret-9c', wrong]) assert.ok(!shown.includes(s), 'a secret shown');
    }
    for (const ws of [x, y, z1, z2]) ws.close();
});

test('an unban lifts a ban stamped by a node whose clock runs ahead, and it stays lifted', { timeout: 60000 }, async () => {
    const { redis, nodes: [a, b] } = await cluster(2);
    const ip = '192.0.2.77';
    const ahead = `${Date.now() + 60000}`;
    await redisCommand(redis.port, ['HSET', 'tnlrelay:banlist', ip, `${ahead}\nB\nfast\nAhead`]);
    const wire = Buffer.concat([Buffer.from([0x42, 4]), Buffer.from('fast'), Buffer.from([ip.length]),
        Buffer.from(`${ip}${ahead}\nAhead`)]);
    assert.match(await redisCommand(redis.port, ['SPUBLISH', 'tnlrelay:bans', wire]), /^:/);
    for (const node of [a, b])
        await waitFor(async () => (await bansOf(node))[ip] === 'Ahead', 'the ban from the fast node');
    assert.equal((await unban(a, ip)).status, 200);
    for (const node of [a, b])
        await waitFor(async () => !(ip in (await bansOf(node))), 'the unban everywhere');
    await new Promise((r) => setTimeout(r, 1000));
    for (const node of [a, b]) assert.ok(!(ip in (await bansOf(node))), 'not banned again');
    assert.match(await redisCommand(redis.port, ['HGET', 'tnlrelay:banlist', ip]), /\nU\nnode1\n/);
});

/** The answer of a kick through `node`'s admin API. */
const kick = async (node, connId) => {
    const res = await node.post('/api/kick', { connId });
    return [res.status, res.text];
};
const connIdOf = async (node, name) => (await node.state()).players.find((p) => p.name === name)?.connId;

test('connection ids are unique across the nodes, and a kick through any node reaches the player where it is', { timeout: 60000 }, async () => {
    const { nodes } = await cluster(3);
    const players = [];
    for (const [i, node] of nodes.entries())
        for (let j = 0; j < 3; j++) players.push({ node, name: `p${i}${j}`, ws: await node.join({ room: 'k', name: `p${i}${j}` }) });
    const ids = await Promise.all(players.map((p) => connIdOf(p.node, p.name)));
    assert.equal(new Set(ids).size, ids.length, `ids unique across the nodes: ${ids}`);

    // The whole cluster through any node, marked by node and paged; /api/state stays the node's.
    const view = async (node, query = '') => JSON.parse((await node.get(`/api/cluster${query}`, { admin: true })).text);
    const everyone = players.map((p, i) => `node${nodes.indexOf(p.node) + 1}:${ids[i]}`);
    const shown = (page) => page.players.map((p) => `${p.node}:${p.connId}`);
    const whole = await view(nodes[2]);
    assert.equal(whole.playersTotal, 9);
    assert.deepEqual(shown(whole), everyone, 'every player, in the order of nodes and ids');
    assert.deepEqual(whole.nodes.map((n) => [n.node, n.players, n.self]),
        [['node1', 3, false], ['node2', 3, false], ['node3', 3, true]]);
    assert.deepEqual(whole.unanswered, []);
    await waitFor(async () => sameJson((await view(nodes[0])).rooms,
        [{ count: 9, nodes: ['node1', 'node2', 'node3'].map((node) => ({ count: 3, node })), room: 'k' }]),
        'the room with the seats of every node');
    assert.deepEqual(shown(await view(nodes[0], '?offset=2&limit=4')), everyone.slice(2, 6), 'a page across two nodes');
    assert.deepEqual(shown(await view(nodes[1], '?offset=7&limit=1000000')), everyone.slice(7));
    assert.equal((await nodes[0].state()).players.length, 3, '/api/state shows the node\'s own');

    // A player on the second node, kicked through the first.
    const target = players[3];
    assert.deepEqual(await kick(nodes[0], ids[3]), [200, '{"ok":true}']);
    await waitFor(() => target.ws.readyState === target.ws.CLOSED, 'the kicked player disconnected');
    await target.node.waitLog(`INFO KICK connId=${ids[3]} ip=127.0.0.1`, 'the KICK line where the player was');
    assert.ok(!nodes[0].logLines().some((l) => l.startsWith('INFO KICK')), 'no KICK on the asking node');
    // An id no node holds: answered as a single relay answers, and nobody is kicked.
    const unknown = Math.max(...ids) + 100000;
    assert.deepEqual(await kick(nodes[2], unknown), [200, '{"ok":true}']);
    await new Promise((r) => setTimeout(r, 300));
    assert.deepEqual(players.filter((p) => p.ws.readyState !== 1).map((p) => p.name), [target.name],
        'only the kicked player left');
    for (const p of players) p.ws.close();
});

test('a node that lost its link cannot kick a player it does not hold, and says so', { timeout: 60000 }, async () => {
    const redis = await startRedis(cleanups);
    const proxy = await freezableProxy(redis.port);
    const a = await startNode(redis, 'node1', { port: proxy.port });
    const b = await startNode(redis, 'node2');
    const far = await b.join({ room: 'k', name: 'far' });
    const id = await connIdOf(b, 'far');
    proxy.cut();
    await a.waitLog((l) => l.startsWith('ERROR cluster: lost the link to Redis'), 'the link lost');
    const [status, text] = await kick(a, id);
    assert.equal(status, 500);
    assert.match(JSON.parse(text).error, /cannot be asked/);
    assert.equal(far.readyState, 1);
    far.close();
});

test('after a restart of Redis without persistence the nodes store their bans again, and a node started later has them', { timeout: 60000 }, async () => {
    const { redis, nodes: [a, b] } = await cluster(2);
    assert.equal((await ban(a, '198.51.100.21', 'Before')).status, 200);
    await waitFor(async () => (await bansOf(b))['198.51.100.21'] === 'Before', 'the ban on the other node');
    await redis.stop('SIGKILL');
    await startRedis(cleanups, { port: redis.port });
    await waitFor(async () => /\nB\nnode1\nBefore/.test(await redisCommand(redis.port, ['HGET', 'tnlrelay:banlist', '198.51.100.21'])),
        'the ban stored again', 5000);
    const c = await startNode(redis, 'node3');
    await waitFor(async () => (await bansOf(c))['198.51.100.21'] === 'Before', 'the ban on the node started later');
});

test('registry keys deleted or overwritten are repaired within seconds, with one ERROR line naming them', { timeout: 60000 }, async () => {
    const { redis, nodes: [a, b] } = await cluster(2);
    const x = await a.join({ room: 'heal', name: 'x', max: 2 });
    const y = await b.join({ room: 'heal', name: 'y', max: 2 });
    await roomSpansNodes([a, b], 'heal');
    const full = JSON.stringify([{ count: 2, room: 'heal' }]);
    let sent = 0;
    /** Every message sent across from now on arrives, both ways. */
    const crossing = async (what) => {
        let last;
        await waitFor(async () => (last = [await roomsText(a), await roomsText(b)]).every((t) => t === full),
            `the room list of both nodes (${what}): ${last}`, 5000).catch((e) => { throw new Error(`${e.message} ${last}`); });
        await roomSpansNodes([a, b], 'heal');
        const base = sent;
        for (let i = 0; i < 20; i++, sent++) {
            x.send(`x${sent}`);
            y.send(`y${sent}`);
        }
        await waitFor(() => [...Array(sent - base).keys()].every((i) =>
            hasReceived(y, `x${base + i}`) && hasReceived(x, `y${base + i}`)), `every message across (${what})`);
    };
    let seen = [0, 0];
    /** A repair line naming `key` on either node since the last fault. */
    const repaired = (key) => [a, b].some((node, i) => node.logLines().slice(seen[i]).some((l) =>
        l.startsWith('ERROR cluster: repaired the registry') && l.includes(key)));
    const fault = (command) => {
        seen = [a.logLines().length, b.logLines().length];
        return redisCommand(redis.port, command);
    };
    for (const key of ['tnlrelay:seats:heal', 'tnlrelay:bases', 'tnlrelay:nodes']) {
        assert.match(await fault(['DEL', key]), /^:1/);
        await waitFor(() => repaired(key), `the repair of ${key}`, 5000);
        await crossing(`${key} deleted`);
    }
    // Wrong types: the seat hash and the set of bases as strings. With the set of bases a
    // string, a third joiner of a room of two still spills.
    for (const key of ['tnlrelay:seats:heal', 'tnlrelay:bases']) {
        await fault(['SET', key, 'garbage']);
        if (key === 'tnlrelay:bases') {
            const z = await a.join({ room: 'heal', name: 'z', max: 2 });
            assert.equal(await roomOf(a, 'z'), 'heal#2', `the room stays full with ${key} a string`);
            z.close();
        }
        await waitFor(() => repaired(key), `the repair of ${key}`, 5000);
        await crossing(`${key} a string`);
    }
    x.close();
    y.close();
});

test('a ban that Redis cannot store is said so and stored once it can; a ban hash of the wrong type is repaired', { timeout: 60000 }, async () => {
    const { redis, nodes: [a, b] } = await cluster(2);
    // Redis refuses every write while over its memory limit.
    await redisCommand(redis.port, ['CONFIG', 'SET', 'maxmemory-policy', 'noeviction']);
    await redisCommand(redis.port, ['CONFIG', 'SET', 'maxmemory', '1']);
    assertNotShared(await ban(a, '198.51.100.31', 'Full'));
    assertNotShared(await unban(b, '198.51.100.32'));
    await a.waitLog((l) => l.startsWith('ERROR cluster: Redis could not store the ban of ip=198.51.100.31'), 'the ERROR line');
    assert.equal((await a.state()).cluster.unsharedBans, 1);
    await redisCommand(redis.port, ['CONFIG', 'SET', 'maxmemory', '0']);
    await waitFor(async () => (await bansOf(b))['198.51.100.31'] === 'Full', 'the ban on the other node', 5000);
    await a.waitLog('INFO cluster: the ban of ip=198.51.100.31 is stored in Redis now');
    assert.equal((await a.state()).cluster.unsharedBans, 0);

    await redisCommand(redis.port, ['SET', 'tnlrelay:banlist', 'garbage']);
    await ban(a, '198.51.100.33', 'Typed');
    await waitFor(async () => (await bansOf(b))['198.51.100.33'] === 'Typed', 'the second ban on the other node', 5000);
    await waitFor(() => [a, b].some((n) => n.logLines().some((l) =>
        l.startsWith('ERROR cluster: repaired the registry') && l.includes('tnlrelay:banlist'))), 'the repair line');
    assert.match(await redisCommand(redis.port, ['HGET', 'tnlrelay:banlist', '198.51.100.31']), /\nB\nnode1\nFull/);
});

test('a player whose join completed hears every message sent after it, however slowly its node reaches Redis', { timeout: 60000 }, async () => {
    const redis = await startRedis(cleanups);
    // Everything the first node sends reaches Redis late: its subscriptions among them.
    const proxy = await freezableProxy(redis.port, { delayMs: 150 });
    const a = await startNode(redis, 'node1', { port: proxy.port });
    const b = await startNode(redis, 'node2');
    for (let i = 0; i < 4; i++) {
        const room = `join${i}`;
        const y = await b.join({ room, name: 'y' });
        const x = await a.join({ room, name: 'x' });
        y.send(`right after ${i}`);
        await waitFor(() => hasReceived(x, `right after ${i}`), `the message sent right after join ${i}`);
        x.close();
        y.close();
    }
});

test('chaos: after each blow to Redis or a node, messages cross, bans hold and counts converge', { timeout: 120000 }, async () => {
    const { redis, nodes: [a, b, c] } = await cluster(3);
    const ip = '198.51.100.99';
    assert.equal((await ban(a, ip, 'Chaos')).status, 200);
    const x = await a.join({ room: 'chaos', name: 'x' });
    const y = await b.join({ room: 'chaos', name: 'y' });
    const z = await c.join({ room: 'chaos', name: 'z' });
    let members = 3, round = 0;
    const check = async (blow) => {
        const nodes = members === 3 ? [a, b, c] : [a, b];
        const expected = JSON.stringify([{ count: members, room: 'chaos' }]);
        for (const node of nodes) {
            await waitFor(async () => (await roomsText(node)) === expected, `counts after ${blow}`, 8000);
            await waitFor(async () => (await bansOf(node))[ip] === 'Chaos', `the ban on every node after ${blow}`, 5000);
        }
        await waitFor(async () => /\nB\nnode1\nChaos/.test(await redisCommand(redis.port, ['HGET', 'tnlrelay:banlist', ip])),
            `the ban in Redis after ${blow}`, 5000);
        await roomSpansNodes(nodes, 'chaos');
        const tag = `r${++round}-`;
        for (let i = 0; i < 20; i++) {
            x.send(`${tag}x${i}`);
            y.send(`${tag}y${i}`);
        }
        const heard = (ws, who) => ws.received.filter((m) => String(m.data).startsWith(`${tag}${who}`)).length;
        await waitFor(() => heard(y, 'x') === 20 && heard(x, 'y') === 20, `every message across after ${blow}`);
        if (members === 3) await waitFor(() => heard(z, 'x') === 20 && heard(z, 'y') === 20, `the third node after ${blow}`);
        await new Promise((r) => setTimeout(r, 100));
        assert.deepEqual([heard(y, 'x'), heard(x, 'y'), heard(x, 'x')], [20, 20, 0], `each message once after ${blow}`);
    };
    await check('the start');

    await redis.stop('SIGKILL');
    await startRedis(cleanups, { port: redis.port });
    await check('a restart of Redis');

    assert.match(await redisCommand(redis.port, ['FLUSHALL']), /^\+OK/);
    await check('FLUSHALL');

    // The nodes' own keys last: losing one makes its node register again from scratch, which
    // would also mend what the blows before it did.
    const keys = (await redisCommand(redis.port, ['KEYS', 'tnlrelay:*'])).split('\r\n')
        .filter((l) => l.startsWith('tnlrelay:')).sort((x, y) => x.startsWith('tnlrelay:node:') - y.startsWith('tnlrelay:node:'));
    assert.ok(keys.length >= 6, `the registry keys: ${keys}`);
    for (const key of keys) {
        await redisCommand(redis.port, ['DEL', key]);
        await check(`DEL ${key}`);
    }

    // Under a tiny memory limit Redis evicts every key and refuses writes; then the limit goes.
    await redisCommand(redis.port, ['CONFIG', 'SET', 'maxmemory-policy', 'allkeys-lru']);
    await redisCommand(redis.port, ['CONFIG', 'SET', 'maxmemory', '1']);
    await waitFor(async () => (await redisCommand(redis.port, ['DBSIZE'])) === ':0\r\n', 'every key evicted');
    await redisCommand(redis.port, ['CONFIG', 'SET', 'maxmemory', '0']);
    await check('eviction');

    c.proc.kill('SIGKILL');
    await c.exited;
    members = 2;
    await check('a node killed with SIGKILL');

    // Sentinel fail-over: with the nodes started on a Sentinel-watched master, kill the master
    // here and `await check('a Sentinel fail-over')` once a replica took over.
    x.close();
    y.close();
});

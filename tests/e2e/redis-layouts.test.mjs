// Relay nodes on each Redis layout that can fail or must be guarded: a master found through
// real Sentinels and followed through a fail-over, a real Redis Cluster whose shard loses its
// master, and TLS with an ACL user limited to the relay's names. Every server is started here on
// free loopback ports and stopped here.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { Relay, cleanupAfter, freePort, hasReceived, redisCommands, replicated, startRedis,
         startRedisCluster, startSentinel, tempDir, roomSpansNodes, waitFor } from './lib/harness.mjs';
import { makeCertificate } from './lib/certs.mjs';

const cleanups = cleanupAfter();

async function startNode(clusterRedis, name, { linked = true, config = {} } = {}) {
    const relay = await Relay.start({ cleanups, stopSignal: 'SIGKILL',
        config: { clusterRedis, nodeName: name, ...config } });
    if (linked)
        await relay.waitLog((l) => l.startsWith('INFO cluster: linked to Redis'), `node ${name} linked`);
    return relay;
}

const roomsText = async (relay) => (await relay.get('/rooms')).text;

/**
 * Until a message from `from` reaches `to`: sent again every 100 ms, since what is published
 * while a link is down is lost. Resolves with how many were sent.
 */
async function relayingResumes(from, to, tag, timeoutMs = 10000) {
    let sent = 0;
    await waitFor(async () => {
        from.send(`${tag}${sent++}`);
        await new Promise((r) => setTimeout(r, 100));
        return to.received.some((m) => String(m.data).startsWith(tag));
    }, `relaying ${tag} between the nodes`, timeoutMs);
    return sent;
}

test('nodes find the master through Sentinels, skip one that is away, and follow a fail-over with seats and bans intact', { timeout: 90000 }, async () => {
    const master = await startRedis(cleanups);
    const replica = await startRedis(cleanups, { args: ['--replicaof', '127.0.0.1', String(master.port)] });
    const sentinel = await startSentinel(cleanups, { masterPort: master.port });
    // The first Sentinel named is not there: the nodes ask the next.
    const away = await freePort();
    const text = `sentinel://127.0.0.1:${away},127.0.0.1:${sentinel.port}/relaymaster`;
    const a = await startNode(text, 'a');
    const b = await startNode(text, 'b');
    assert.match(a.logLines().find((l) => l.startsWith('INFO cluster: linked')),
        new RegExp(`linked to Redis relaymaster at 127\\.0\\.0\\.1:${master.port} as node a`));

    const a1 = await a.join({ room: 'r', name: 'a1', max: 2 });
    const b1 = await b.join({ room: 'r', name: 'b1', max: 2 });
    await roomSpansNodes([a, b], 'r');
    assert.equal((await a.post('/api/ban', { ip: '203.0.113.9', name: 'Mallory' })).status, 200);
    await waitFor(() => b.logLines().includes('INFO BAN ip=203.0.113.9 name=Mallory'), 'the ban on b');
    await relayingResumes(a1, b1, 'before');
    await replicated(master.port);

    await master.stop('SIGKILL');
    await relayingResumes(a1, b1, 'after', 10000);
    await relayingResumes(b1, a1, 'back', 10000);
    for (const node of [a, b])
        assert.equal((await node.state()).cluster.redis, `relaymaster at 127.0.0.1:${replica.port}`);
    // The seats and the ban are on the new master: the room is full cluster-wide, and a node
    // that starts now learns the ban from it.
    for (const node of [a, b])
        await waitFor(async () => (await roomsText(node)) === JSON.stringify([{ count: 2, room: 'r' }]),
            'the seats counted on the new master');
    const c = await startNode(text, 'c');
    const c1 = await c.join({ room: 'r', name: 'c1', max: 2 });
    assert.equal((await c.state()).players.find((p) => p.name === 'c1').room, 'r#2');
    await c.waitLog('INFO BAN ip=203.0.113.9 name=Mallory', 'the ban learned from the new master');
    assert.match(await redisCommands(replica.port, [['HGET', 'tnlrelay:banlist', '203.0.113.9']]),
        /\nB\na\nMallory/);
    for (const ws of [a1, b1, c1]) ws.close();
});

/** The ACL line that docs/cluster.md gives operators, with `secret` as its password. */
function documentedAcl(secret) {
    const doc = fs.readFileSync(path.resolve('../../docs/cluster.md'), 'utf8');
    const line = doc.split('\n').find((l) => l.startsWith('ACL SETUSER relay '));
    assert.ok(line, 'docs/cluster.md gives the ACL line');
    return line.replace('>PASSWORD', `>${secret}`).split(/\s+/);
}

test('nodes speak TLS to Redis as the ACL user the documentation gives; an untrusted certificate is refused and said once', { timeout: 60000 }, async () => {
    const dir = tempDir(cleanups, 'redis-tls');
    const { cert, key } = makeCertificate(dir, 'redis', '0x51');
    const other = makeCertificate(dir, 'other', '0x52');
    const tlsPort = await freePort();
    // The plain port is the test's own; the nodes use the TLS port.
    const redis = await startRedis(cleanups, { args: ['--tls-port', String(tlsPort), '--tls-cert-file', cert,
        '--tls-key-file', key, '--tls-ca-cert-file', cert, '--tls-auth-clients', 'no'] });
    const secret = 'acl-Secret-3d9e';
    assert.equal(await redisCommands(redis.port, [documentedAcl(secret)]), '+OK\r\n');
    const passwordFile = path.join(dir, 'redis-password');
    fs.writeFileSync(passwordFile, `${secret}\n`);
    const tls = { clusterRedisTls: true, clusterRedisCaFile: cert, clusterRedisUser: 'relay' };
    const at = `127.0.0.1:${tlsPort}`;
    const a = await startNode(at, 'a', { config: { ...tls, clusterRedisPassword: secret } });
    // The second one names Redis by a host name (the certificate names localhost too) and reads
    // the password from a file.
    const b = await startNode(`localhost:${tlsPort}`, 'b',
        { config: { ...tls, clusterRedisPasswordFile: passwordFile } });
    const x = await a.join({ room: 'tls', name: 'x' });
    const y = await b.join({ room: 'tls', name: 'y' });
    await roomSpansNodes([a, b], 'tls');
    // Large messages cross in several TLS records.
    const big = 'z'.repeat(200000);
    x.send('over TLS');
    x.send(big);
    await waitFor(() => hasReceived(y, 'over TLS') && hasReceived(y, big), 'messages across');
    assert.equal((await a.post('/api/ban', { ip: '198.51.100.3', name: 'Trudy' })).status, 200);
    await b.waitLog('INFO BAN ip=198.51.100.3 name=Trudy', 'the ban on b');
    // The user is held to the relay's names: nothing was refused it, the subscribing
    // connection's ping included.
    const pings = async () => {
        const stats = (await redisCommands(redis.port, [['INFO', 'commandstats']])).match(
            /cmdstat_ping:calls=(\d+).*rejected_calls=(\d+)/);
        return stats ? Number(stats[1]) + Number(stats[2]) : 0;
    };
    await waitFor(async () => (await pings()) >= 3, 'both nodes to ping Redis (after the harness)');
    const refusals = await redisCommands(redis.port, [['ACL', 'LOG']]);
    assert.ok(!refusals.includes('relay'), `no command of the relay refused: ${refusals}`);

    const c = await startNode(at, 'c', { linked: false,
        config: { ...tls, clusterRedisCaFile: other.cert, clusterRedisPassword: secret } });
    const line = await c.waitLog((l) => l.startsWith('ERROR cluster: cannot reach Redis'), 'the ERROR line');
    assert.match(line, /certificate is not trusted/);
    const z1 = await c.join({ room: 'tls', name: 'z1' });
    const z2 = await c.join({ room: 'tls', name: 'z2' });
    z1.send('alone');
    await waitFor(() => hasReceived(z2, 'alone'), 'relaying on the node alone');
    await new Promise((r) => setTimeout(r, 1500)); // several retries
    assert.equal(c.logLines().filter((l) => l.startsWith('ERROR cluster:')).length, 1, 'said once');
    // A server that takes the connection and never answers the handshake is given up.
    const held = new Set();
    const silent = net.createServer((socket) => held.add(socket));
    const silentPort = await freePort();
    await new Promise((resolve) => silent.listen(silentPort, '127.0.0.1', resolve));
    cleanups.push(() => new Promise((resolve) => {
        for (const socket of held) socket.destroy();
        silent.close(resolve);
    }));
    const d = await startNode(`127.0.0.1:${silentPort}`, 'd', { linked: false, config: tls });
    assert.match(await d.waitLog((l) => l.startsWith('ERROR cluster: cannot reach Redis'), 'the ERROR line'),
        /TLS handshake timed out/);
    for (const node of [a, b, c]) {
        const shown = node.logText() + node.stdout + node.stderr + (await node.get('/api/state', { admin: true })).text;
        assert.ok(!shown.includes(secret), 'the secret shown');
    }
    for (const ws of [x, y, z1, z2]) ws.close();
});

/** The port of the master that serves `slot` now, as node `port` of a Redis Cluster sees it. */
async function ownerOf(port, slot) {
    const text = await redisCommands(port, [['CLUSTER', 'SHARDS']]);
    // Each shard: its slot ranges, then its nodes with their port and role.
    for (const shard of text.split('*4\r\n$5\r\nslots\r\n').slice(1)) {
        const numbers = [...shard.split('$5\r\nnodes')[0].matchAll(/:(\d+)\r\n/g)].map((m) => Number(m[1]));
        const served = numbers.some((_, i) => i % 2 === 0 && slot >= numbers[i] && slot <= numbers[i + 1]);
        const master = shard.match(/\$4\r\nport\r\n:(\d+)\r\n(?:(?!\$4\r\nport)[\s\S])*?\$4\r\nrole\r\n\$6\r\nmaster/);
        if (served && master) return Number(master[1]);
    }
    return undefined;
}

const keySlot = async (port, key) => Number((await redisCommands(port, [['CLUSTER', 'KEYSLOT', key]])).slice(1));
const nodeId = async (port) => (await redisCommands(port, [['CLUSTER', 'MYID']])).split('\r\n')[1];

/**
 * Moves `slot` from the master at `from` to the one at `to` as an operator's resharding does:
 * importing and migrating, its keys moved, then `during()` while the slot is half-way (answers
 * ASK), then the slot given to `to` on every master.
 */
async function moveSlot(masters, slot, from, to, during = async () => {}) {
    const [fromId, toId] = [await nodeId(from), await nodeId(to)];
    await redisCommands(to, [['CLUSTER', 'SETSLOT', slot, 'IMPORTING', fromId]]);
    await redisCommands(from, [['CLUSTER', 'SETSLOT', slot, 'MIGRATING', toId]]);
    for (;;) {
        const keys = (await redisCommands(from, [['CLUSTER', 'GETKEYSINSLOT', slot, 100]]))
            .split('\r\n').filter((l, i) => i > 0 && !l.startsWith('$') && l !== '');
        if (keys.length === 0) break;
        assert.match(await redisCommands(from, [['MIGRATE', '127.0.0.1', to, '', 0, 5000, 'KEYS', ...keys]]), /^\+OK/);
    }
    await during();
    for (const port of [to, from, ...masters.filter((p) => p !== to && p !== from)])
        await redisCommands(port, [['CLUSTER', 'SETSLOT', slot, 'NODE', toId]]);
}

test('on a Redis Cluster the rooms spread over the shards, slots move between shards with the link up, and relaying resumes after the registry shard\'s master is killed', { timeout: 120000 }, async () => {
    const { nodes } = await startRedisCluster(cleanups);
    const seed = nodes[0].port;
    const text = `cluster://127.0.0.1:${nodes[0].port},127.0.0.1:${nodes[1].port}`;
    const a = await startNode(text, 'a');
    const b = await startNode(text, 'b');
    assert.ok(a.logLines().some((l) => l.startsWith('INFO cluster: linked to Redis cluster of 3 shards')));

    const rooms = ['r1', 'r2', 'r3', 'r4', 'r5', 'r6'];
    const pairs = [];
    for (const room of rooms)
        pairs.push([await a.join({ room, name: `a-${room}`, max: 2 }), await b.join({ room, name: `b-${room}`, max: 2 })]);
    for (const room of rooms) await roomSpansNodes([a, b], room);
    // Each shard carries some of the rooms' channels.
    const owners = new Set();
    for (const room of rooms) owners.add(await ownerOf(seed, await keySlot(seed, `tnlrelay:room:${room}`)));
    assert.equal(owners.size, 3, 'the channels on every shard');
    for (const [i, [x, y]] of pairs.entries()) {
        x.send(`to ${rooms[i]}`);
        await waitFor(() => hasReceived(y, `to ${rooms[i]}`), `a message across in ${rooms[i]}`);
    }
    // Slots move between shards (the registry's and a room channel's) while the nodes run: the
    // redirections are followed and the subscription moves with its slot, without the link
    // dropping.
    const masters = [...owners];
    const registrySlot = await keySlot(seed, 'tnlrelay:{registry}:nodes');
    const from = await ownerOf(seed, registrySlot);
    const to = masters.find((p) => p !== from);
    await moveSlot(masters, registrySlot, from, to, async () => {
        const spilled = await a.join({ room: 'r3', name: 'asked', max: 2 });
        assert.equal((await a.state()).players.find((p) => p.name === 'asked').room, 'r3#2',
            'placed through the shard the slot is moving to');
        spilled.close();
    });
    const late1 = await b.join({ room: 'r3', name: 'moved', max: 2 });
    assert.equal((await b.state()).players.find((p) => p.name === 'moved').room, 'r3#2');
    late1.close();
    const channelSlot = await keySlot(seed, 'tnlrelay:room:r2');
    const channelFrom = await ownerOf(seed, channelSlot);
    await moveSlot(masters, channelSlot, channelFrom, masters.find((p) => p !== channelFrom));
    await relayingResumes(pairs[1][0], pairs[1][1], 'moved-r2-');
    await relayingResumes(pairs[1][1], pairs[1][0], 'moved-back-r2-');
    for (const node of [a, b])
        assert.deepEqual(node.logLines().filter((l) => l.startsWith('ERROR cluster:')), [],
            'the link stayed up while slots moved');

    // The registry is one slot's: its master goes.
    const registry = await ownerOf(seed, await keySlot(seed, 'tnlrelay:{registry}:nodes'));
    const victim = nodes.find((n) => n.port === registry);
    assert.ok(victim, 'the registry\'s master found');
    assert.match(await redisCommands(registry, [['EXISTS', 'tnlrelay:{registry}:nodes']]), /:1/);
    await replicated(registry);
    await victim.stop('SIGKILL');
    const alive = nodes.find((n) => n !== victim).port;
    await waitFor(async () => {
        const owner = await ownerOf(alive, await keySlot(alive, 'tnlrelay:{registry}:nodes'));
        return owner !== undefined && owner !== registry;
    }, 'a replica to take over the registry\'s shard', 20000);
    for (const [i, [x, y]] of pairs.entries()) {
        await relayingResumes(x, y, `after-${rooms[i]}-`, 10000);
        await relayingResumes(y, x, `back-${rooms[i]}-`, 10000);
    }
    // The seats are counted again: each room is full cluster-wide, and a third joiner spills.
    await waitFor(async () => (await roomsText(a)) ===
        JSON.stringify(rooms.map((room) => ({ count: 2, room }))), 'the seats counted again');
    const late = await a.join({ room: 'r1', name: 'late', max: 2 });
    assert.equal((await a.state()).players.find((p) => p.name === 'late').room, 'r1#2');
    for (const ws of [late, ...pairs.flat()]) ws.close();
});

test('unusable Redis settings are each said in one ERROR line, and the relay goes on without them', { timeout: 60000 }, async () => {
    const lone = await startNode('sentinel://127.0.0.1:26379', 'lone', { linked: false });
    await lone.waitLog((l) => l.startsWith('ERROR clusterRedis sentinel://127.0.0.1:26379 is not host:port'),
        'the refused form');
    const x = await lone.join({ room: 'r', name: 'x' });
    const y = await lone.join({ room: 'r', name: 'y' });
    x.send('single');
    await waitFor(() => hasReceived(y, 'single'), 'relaying as a single node');
    assert.equal((await lone.state()).cluster, undefined, 'no cluster');

    const redis = await startRedis(cleanups);
    const node = await startNode(`127.0.0.1:${redis.port}`, 'n', { config: {
        clusterRedisPasswordFile: 'no-such-file', clusterRedisCaFile: 'ca.pem', clusterRedisTls: 'yes' } });
    const errors = node.logLines().filter((l) => l.startsWith('ERROR '));
    assert.deepEqual(errors, [
        'ERROR clusterRedisPasswordFile no-such-file cannot be read or is empty; connecting without a login',
        'ERROR clusterRedisTls must be true or false; connecting without TLS',
        'ERROR clusterRedisCaFile is ignored without clusterRedisTls',
    ]);
    for (const ws of [x, y]) ws.close();
});

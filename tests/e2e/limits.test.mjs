// Abuse limits on the game port, set under "limits" in config.json: connections and joins per
// address, the origins a browser may join from, and the rate and size of messages. Each
// refusal has its status, its log line with the reason, and its count in the state document.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import WebSocket from 'ws';
import { Relay, cleanupAfter, waitFor } from './lib/harness.mjs';

const cleanups = cleanupAfter();

/** The status and body a refused join gets. */
async function refusal(relay, query, headers = {}) {
    const { response } = await relay.join(query, { headers }).then(
        () => assert.fail('the join was accepted'), (e) => e);
    let body = '';
    for await (const d of response) body += d;
    return { status: response.statusCode, body };
}

test('connections per address: one over the limit gets 429, a freed place is taken again', { timeout: 60000 }, async () => {
    const relay = await Relay.start({ cleanups, config: { limits: { maxConnectionsPerAddress: 2 } } });
    const a = await relay.join({ room: 'r', name: 'a' });
    const b = await relay.join({ room: 'r', name: 'b' });
    assert.deepEqual(await refusal(relay, { room: 'r', name: 'c' }),
                     { status: 429, body: 'too many connections\n' });
    await relay.waitLog('INFO REJECT too many connections ip=127.0.0.1 (limit 2)');
    assert.equal((await relay.state()).limitRefusals.connectionsPerAddress, 1);
    assert.equal((await relay.state()).players.length, 2, 'the refused join never joined');

    a.close();
    await waitFor(async () => (await relay.state()).players.length === 1, 'a to leave');
    const c = await relay.join({ room: 'r', name: 'c' });
    c.close();
    b.close();
});

test('joins per address per minute count accepted joins, closed or not', { timeout: 60000 }, async () => {
    const relay = await Relay.start({ cleanups, config: { limits: { joinsPerAddressPerMinute: 3 } } });
    for (let i = 0; i < 3; i++) (await relay.join({ room: 'r', name: `p${i}` })).close();
    assert.deepEqual(await refusal(relay, { room: 'r' }), { status: 429, body: 'too many joins\n' });
    await relay.waitLog('INFO REJECT too many joins ip=127.0.0.1 (limit 3 a minute)');
    assert.equal((await relay.state()).limitRefusals.joinsPerMinute, 1);
});

test('allowed origins: a listed page and a native game join, any other page gets 403', { timeout: 60000 }, async () => {
    const relay = await Relay.start({ cleanups, config: { limits: { allowedOrigins: ['https://play.example'] } } });
    (await relay.join({ room: 'r' }, { headers: { Origin: 'https://play.example' } })).close();
    (await relay.join({ room: 'r' }, { headers: { Origin: 'HTTPS://PLAY.EXAMPLE' } })).close();
    (await relay.join({ room: 'r' })).close(); // ws sends no Origin unless asked to
    assert.deepEqual(await refusal(relay, { room: 'r' }, { Origin: 'https://evil.example' }),
                     { status: 403, body: 'origin not allowed\n' });
    await relay.waitLog('INFO REJECT origin not allowed ip=127.0.0.1 origin=https://evil.example');
    assert.equal((await relay.state()).limitRefusals.origin, 1);
});

test('a member over the message rate is closed with 1008 and its LEAVE line says why', { timeout: 60000 }, async () => {
    const relay = await Relay.start({ cleanups, config: { limits: { messagesPerSecond: 5, burst: 5 } } });
    const peer = await relay.join({ room: 'r', player: 'peer' });
    const flooder = await relay.join({ room: 'r', player: 'flood' });
    // The burst, and one more at once: the sixth breaks the limit and is not relayed.
    for (let i = 0; i < 6; i++) flooder.send(`m${i}`);
    assert.equal(await flooder.closedPromise, 1008);
    await relay.waitLog('INFO LEAVE room=r player=flood (closed: messages over the rate limit)');
    assert.deepEqual(peer.received.map((m) => String(m.data)), ['m0', 'm1', 'm2', 'm3', 'm4']);
    assert.equal((await relay.state()).limitRefusals.messageRate, 1);

    // Within the rate nothing happens.
    const calm = await relay.join({ room: 'r', player: 'calm' });
    for (let i = 0; i < 8; i++) {
        calm.send('x');
        await new Promise((r) => setTimeout(r, 250));
    }
    assert.equal(calm.readyState, WebSocket.OPEN);
    calm.close();
    peer.close();
});

test('a message over maxMessageBytes closes with 1009; one at the limit is relayed', { timeout: 60000 }, async () => {
    const relay = await Relay.start({ cleanups, config: { limits: { maxMessageBytes: 1000 } } });
    const peer = await relay.join({ room: 'r', player: 'peer' });
    const big = await relay.join({ room: 'r', player: 'big' });
    big.send(Buffer.alloc(1000, 1));
    await waitFor(() => peer.received.length === 1, 'the message at the limit');
    big.send(Buffer.alloc(1001, 1));
    assert.equal(await big.closedPromise, 1009);
    await relay.waitLog((l) => l.startsWith('INFO LEAVE room=r player=big'));
    assert.equal(peer.received.length, 1);
    peer.close();
});

test('limits edited by hand while running apply from then on', { timeout: 60000 }, async () => {
    const relay = await Relay.start({ cleanups, config: { limits: {} } });
    const a = await relay.join({ room: 'r' });
    fs.writeFileSync(relay.configPath, JSON.stringify({ limits: { maxConnectionsPerAddress: 1 } }));
    await relay.waitLog((l) => l.startsWith('INFO config.json changed on disk'), 'the edit', 8000);
    assert.equal((await refusal(relay, { room: 'r' })).status, 429);
    a.close();
});

// TLS on the game port against real clients: Node's ws and https clients and headless
// Chromium join over wss:// beside plain ws:// on the same port; tlsOnly refuses plain; a
// renewed certificate is served without a restart and a broken one is not; hostile bytes at
// the start of a connection disturb no one else.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import tls from 'node:tls';
import { haveOpenssl, makeCertificate } from './lib/certs.mjs';
import { CHROMIUM, Relay, cleanupAfter, hasReceived, launchChromium, openSocket, rawExchange, startProgram, tempDir,
         upgradeRequest, waitFor } from './lib/harness.mjs';
import { scrape } from './lib/metrics.mjs';

const cleanups = cleanupAfter();
const skipNoOpenssl = !haveOpenssl && 'the openssl command is not installed';

/** The serial and ALPN of a fresh handshake. */
function handshake(port, options = {}) {
    return new Promise((resolve, reject) => {
        const s = tls.connect({ host: '127.0.0.1', port, rejectUnauthorized: false,
                                ALPNProtocols: ['h2', 'http/1.1'], ...options }, () => {
            const info = { serial: s.getPeerCertificate().serialNumber, alpn: s.alpnProtocol,
                           protocol: s.getProtocol() };
            s.end();
            resolve(info);
        });
        s.once('error', reject);
    });
}

function httpsGet(port, pathAndQuery) {
    return new Promise((resolve, reject) => {
        const s = tls.connect({ host: '127.0.0.1', port, rejectUnauthorized: false }, () =>
            s.write(`GET ${pathAndQuery} HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n`));
        let text = '';
        s.on('data', (d) => (text += d));
        s.on('end', () => resolve(text));
        s.once('error', reject);
    });
}

async function relays(from, to, text) {
    from.send(text);
    await waitFor(() => hasReceived(to, text), `"${text}" to arrive`);
}

const tmp = tempDir(cleanups, 'tls');
const pairs = haveOpenssl ? { a: makeCertificate(tmp, 'a', '0x0A11'),
                              b: makeCertificate(tmp, 'b', '0x0B22') } : {};

test('wss and ws share the port, and TLS speaks only 1.2 and 1.3 with http/1.1',
     { skip: skipNoOpenssl }, async () => {
    const relay = await Relay.start({ cleanups, pair: pairs.a });
    assert.ok(relay.logLines().some((l) => /^INFO TLS on \(TLS and plain\): certificate .*localhost.*, expires \d{4}-/.test(l)),
              relay.logText());
    // TNLRELAY_AES_GCM=library (the run of this file with it) keeps the library's AES-GCM.
    const engine = process.env.TNLRELAY_AES_GCM === 'library' ? 'by the library' : '';
    assert.ok(relay.logLines().some((l) => l.startsWith('INFO TLS 1.3 records are sealed by the relay, AES-GCM ') &&
                                           l.endsWith(engine)), relay.logText());
    const secure = await relay.join({ room: 'mixed', player: 's' }, { wss: true });
    const plain = await relay.join({ room: 'mixed', player: 'p' });
    await relays(secure, plain, 'over tls');
    await relays(plain, secure, 'over tcp');
    // A large message crosses many records both ways.
    const big = 'x'.repeat(300000);
    await relays(secure, plain, big);
    await relays(plain, secure, big + 'y');

    const info = await handshake(relay.port);
    assert.equal(info.alpn, 'http/1.1');
    assert.equal(info.serial, '0A11');
    assert.equal((await handshake(relay.port, { maxVersion: 'TLSv1.2' })).protocol, 'TLSv1.2');
    await assert.rejects(handshake(relay.port, { minVersion: 'TLSv1', maxVersion: 'TLSv1.1',
                                                 ciphers: 'DEFAULT:@SECLEVEL=0' }));

    const rooms = await httpsGet(relay.port, '/rooms');
    assert.match(rooms, /^HTTP\/1\.1 200 /);
    assert.match(rooms, /"mixed"/);
    assert.match(relay.logText(), /JOIN room=mixed player=s ip=127\.0\.0\.1/);
    const state = await relay.state();
    assert.equal(state.tls.subject.includes('localhost'), true);
    assert.equal(state.tls.expiresSoon, false);
    // Alertable without parsing dates: the same expiry in the health document and the metrics.
    const health = JSON.parse((await relay.get('/healthz', { admin: true })).text);
    assert.equal(health.tlsExpiresAt, state.tls.notAfter);
    assert.equal((await scrape(relay)).get('tnlrelay_tls_certificate_expiry_timestamp_seconds'),
                 state.tls.notAfter);
    secure.close();
    plain.close();
});

test('frames queued in one turn leave in a few full records, not one record each',
     { skip: skipNoOpenssl }, async () => {
    const relay = await Relay.start({ cleanups, pair: pairs.a });
    // A forwarder in front of the receiver counts the TLS records the relay sends it.
    let records = 0, pending = Buffer.alloc(0), counting = false;
    const sockets = new Set();
    const forwarder = net.createServer((client) => {
        const upstream = net.connect(relay.port, '127.0.0.1');
        sockets.add(client).add(upstream);
        client.pipe(upstream);
        upstream.on('data', (d) => {
            client.write(d);
            pending = Buffer.concat([pending, d]);
            while (pending.length >= 5 && pending.length >= 5 + pending.readUInt16BE(3)) {
                if (counting && pending[0] === 0x17) records++;
                pending = pending.subarray(5 + pending.readUInt16BE(3));
            }
        });
        for (const s of [client, upstream]) s.on('error', () => {});
        client.on('close', () => upstream.destroy());
    });
    await new Promise((r) => forwarder.listen(0, '127.0.0.1', r));
    cleanups.push(() => new Promise((r) => {
        for (const sock of sockets) sock.destroy();
        forwarder.close(r);
    }));
    const receiver = await openSocket(`wss://127.0.0.1:${forwarder.address().port}/?room=batch&player=r`);
    const sender = await relay.join({ room: 'batch', player: 's' });
    counting = true;
    // 400 small messages in one write: the relay reads them in a few turns.
    const frames = [];
    for (let i = 0; i < 400; i++) {
        const payload = Buffer.from(`m${i}`);
        const mask = Buffer.from([1, 2, 3, 4]);
        const header = Buffer.from([0x81, 0x80 | payload.length]);
        frames.push(header, mask, Buffer.from(payload.map((b, j) => b ^ mask[j % 4])));
    }
    sender._socket.write(Buffer.concat(frames));
    await waitFor(() => receiver.received.length === 400, 'all 400 messages', 15000);
    assert.equal(String(receiver.received[399].data), 'm399');
    assert.ok(records <= 40, `${records} records for 400 frames`);
    receiver.close();
    sender.close();
});

test('a receiver that stops reading gets every byte in order once it reads again',
     { skip: skipNoOpenssl }, async () => {
    const relay = await Relay.start({ cleanups, pair: pairs.a });
    const receiver = await relay.join({ room: 'slow', player: 'r' }, { wss: true });
    const sender = await relay.join({ room: 'slow', player: 's' });
    receiver._socket.pause();
    // Far more than the kernel's buffers hold, so the relay meets a full socket many times;
    // small (copied) and large (shared) frames alternate.
    const expected = [];
    for (let i = 0; i < 800; i++) {
        expected.push(`small ${i} `.padEnd(200, String.fromCharCode(97 + (i % 26))));
        expected.push(`large ${i} `.padEnd(40000, String.fromCharCode(65 + (i % 26))));
    }
    for (const m of expected) sender.send(m);
    await waitFor(() => sender.bufferedAmount === 0, 'the sender to hand everything over', 30000);
    await new Promise((r) => setTimeout(r, 300));
    receiver._socket.resume();
    await waitFor(() => receiver.received.length >= expected.length,
                  `${expected.length} messages (have ${receiver.received.length})`, 60000);
    assert.equal(receiver.received.length, expected.length);
    for (let i = 0; i < expected.length; i++)
        assert.ok(String(receiver.received[i].data) === expected[i], `message ${i} arrives whole and in order`);
    receiver.close();
    sender.close();
});

test('tlsOnly refuses plain connections with a clear answer', { skip: skipNoOpenssl }, async () => {
    const relay = await Relay.start({ cleanups, config: { tlsOnly: true }, pair: pairs.a });
    await assert.rejects(relay.join({ room: 'r', player: 'p' }), /status 400/);
    const answer = await rawExchange(relay.port, 'GET /rooms HTTP/1.1\r\nHost: x\r\n\r\n');
    assert.match(answer.data.toString(), /^HTTP\/1\.1 400 [^]*TLS only/);
    const a = await relay.join({ room: 'r', player: 'a' }, { wss: true });
    const b = await relay.join({ room: 'r', player: 'b' }, { wss: true });
    await relays(a, b, 'still fine');
    a.close();
    b.close();
});

test('a renewed pair is served to the next handshake; a broken one keeps the old',
     { skip: skipNoOpenssl }, async () => {
    const relay = await Relay.start({ cleanups, pair: pairs.a });
    const dir = relay.dataDir;
    const a = await relay.join({ room: 'r', player: 'a' }, { wss: true });
    const b = await relay.join({ room: 'r', player: 'b' }, { wss: true });
    assert.equal((await handshake(relay.port)).serial, '0A11');

    // A renewal tool replaces both files, one after the other.
    const replace = (from, to) => {
        fs.copyFileSync(from, path.join(dir, to + '.tmp'));
        fs.renameSync(path.join(dir, to + '.tmp'), path.join(dir, to));
    };
    replace(pairs.b.key, 'key.pem');
    replace(pairs.b.cert, 'cert.pem');
    await waitFor(async () => (await handshake(relay.port)).serial === '0B22',
                  'the renewed certificate', 15000);
    await relay.waitLog((l) => l.startsWith('INFO TLS certificate reloaded'));
    await relays(a, b, 'open connections stay');

    // A broken certificate: one ERROR, and the renewed pair stays in use.
    fs.writeFileSync(path.join(dir, 'cert.pem'), '-----BEGIN CERTIFICATE-----\nbroken\n');
    await relay.waitLog((l) => l.startsWith('ERROR TLS certificate files changed but do not load'),
                        'the reload error', 15000);
    await new Promise((r) => setTimeout(r, 2500)); // two more checks of the same broken files
    assert.equal(relay.logLines().filter((l) => l.includes('do not load')).length, 1);
    assert.equal((await handshake(relay.port)).serial, '0B22');
    const c = await relay.join({ room: 'r', player: 'c' }, { wss: true });
    await relays(c, a, 'new joins still work');
    for (const ws of [a, b, c]) ws.close();
});

test('a missing certificate leaves the port plain and says so', { skip: skipNoOpenssl }, async () => {
    const relay = await Relay.start({ cleanups,
                                      config: { tlsCertificate: 'nothing.pem', tlsPrivateKey: 'nothing.key' } });
    assert.ok(relay.logLines().some((l) => l.startsWith('ERROR TLS off: the certificate')), relay.logText());
    const p = await relay.join({ room: 'r', player: 'p' });
    p.close();
});

test('hostile openings are closed and disturb no one', { skip: skipNoOpenssl }, async () => {
    const relay = await Relay.start({ cleanups, pair: pairs.a });
    const a = await relay.join({ room: 'h', player: 'a' }, { wss: true });
    const b = await relay.join({ room: 'h', player: 'b' });

    // A record header announcing a handshake, followed by garbage.
    const garbage = Buffer.concat([Buffer.from([0x16, 0x03, 0x01, 0x00, 0x40]), Buffer.alloc(64, 0xAB)]);
    const closed = await rawExchange(relay.port, garbage);
    assert.equal(closed.closed, true, 'garbage after a TLS record header is closed');
    // An absurd record length is not waited for.
    const huge = await rawExchange(relay.port, Buffer.from([0x16, 0x03, 0x03, 0xFF, 0xFF, 1, 2, 3]));
    assert.equal(huge.closed, true);

    // A handshake that stops half-way holds nothing up for the others.
    const half = net.connect(relay.port, '127.0.0.1');
    await new Promise((r) => half.once('connect', r));
    const hello = await new Promise((resolve) => {
        // Capture a real ClientHello by pointing a TLS client at a socket we control.
        const server = net.createServer((s) => s.once('data', (d) => { resolve(d); s.destroy(); server.close(); }));
        server.listen(0, '127.0.0.1', () => {
            const c = tls.connect({ host: '127.0.0.1', port: server.address().port, rejectUnauthorized: false });
            c.on('error', () => {});
        });
    });
    half.write(hello.subarray(0, Math.floor(hello.length / 2)));
    await relays(a, b, 'undisturbed');
    await relays(b, a, 'both ways');
    assert.equal(half.destroyed, false);
    half.destroy();
    a.close();
    b.close();
    assert.equal(relay.exitCode, undefined);
});

test('a client that limits records to 512 bytes gets records it can read, 3,000 bytes and all',
     { skip: skipNoOpenssl }, async () => {
    const relay = await Relay.start({ cleanups, pair: pairs.a });
    const client = await startProgram(cleanups, 'openssl', ['s_client', '-connect', `127.0.0.1:${relay.port}`,
        '-tls1_3', '-maxfraglen', '512', '-quiet', '-ign_eof'], { stdin: true });
    client.proc.stdin.write(upgradeRequest('/?room=mfl&player=small'));
    await waitFor(() => client.output.includes('101 Switching Protocols'), 'the upgrade over s_client', 10000);
    const other = await relay.join({ room: 'mfl', player: 'big' }, { wss: true });
    const message = 'm'.repeat(2999) + '!';
    other.send(message);
    await waitFor(() => client.output.includes(message), 'the 3,000-byte message at the limited client');
    assert.doesNotMatch(client.output, /record overflow|alert/i);
    const metrics = await scrape(relay);
    assert.equal(metrics.get('tnlrelay_tls_handover_declined_total{reason="record_size"}'), 1);
    assert.equal(metrics.get('tnlrelay_tls_handover_declined_total{reason="key_update_record"}'), 0);
    await relay.waitLog((l) => l === 'INFO TLS: a connection\'s records stay with the library (record_size); further ones are only counted');
    other.close();
});

test('with tlsOwnRecords false the relay still speaks TLS 1.3, and declines nothing',
     { skip: skipNoOpenssl }, async () => {
    const relay = await Relay.start({ cleanups, config: { tlsOwnRecords: false }, pair: pairs.a });
    const a = await relay.join({ room: 'off', player: 'a' }, { wss: true });
    const b = await relay.join({ room: 'off', player: 'b' }, { wss: true });
    await relays(a, b, 'x'.repeat(40000));
    const metrics = await scrape(relay);
    for (const [name, value] of metrics)
        if (name.startsWith('tnlrelay_tls_handover_declined_total')) assert.equal(value, 0, name);
    a.close();
    b.close();
});

test('headless Chromium joins over wss and relays',
     { skip: (!haveOpenssl && 'no openssl') || (!fs.existsSync(CHROMIUM) && 'chromium is not installed') },
     async () => {
    const relay = await Relay.start({ cleanups, pair: pairs.a });
    const other = await relay.join({ room: 'web', player: 'node' }, { wss: true });
    const context = await launchChromium(cleanups, {
        ignoreHTTPSErrors: true,
        args: ['--ignore-certificate-errors'],
    });
    const page = context.pages()[0] ?? (await context.newPage());
    // A secure page, as a game portal would serve it: the room list over https.
    await page.goto(`https://127.0.0.1:${relay.port}/rooms`);
    const got = page.evaluate((url) => new Promise((resolve, reject) => {
        const ws = new WebSocket(url);
        ws.onopen = () => ws.send('from the browser');
        ws.onmessage = (e) => resolve(String(e.data));
        ws.onerror = () => reject(new Error('websocket error'));
    }), `wss://127.0.0.1:${relay.port}/?room=web&player=chromium`);
    await waitFor(() => hasReceived(other, 'from the browser'), 'the browser message');
    other.send('to the browser');
    assert.equal(await got, 'to the browser');
    // The admin page names the certificate.
    await page.goto(`http://127.0.0.1:${relay.adminPort}/`);
    await page.locator('#tlsCert', { hasText: 'localhost' }).waitFor({ timeout: 10000 });
    other.close();
});

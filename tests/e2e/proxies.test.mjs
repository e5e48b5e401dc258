// Real client addresses: PROXY headers (raw, and from Debian's HAProxy with send-proxy-v2),
// X-Forwarded-For from Debian's nginx terminating TLS (bans through the admin API hit the
// client, not the proxy), forwarding headers from untrusted peers ignored, and a dual-stack
// game port joined over IPv6 and IPv4.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import WebSocket from 'ws';
import { haveOpenssl, makeCertificate } from './lib/certs.mjs';
import { Relay, cleanupAfter, freePort, hasReceived, openSocket, rawExchange, startProgram, tempDir, upgradeRequest,
         waitFor } from './lib/harness.mjs';

const cleanups = cleanupAfter();
const tmp = tempDir(cleanups, 'proxies');

const NGINX = '/usr/sbin/nginx';
const HAPROXY = '/usr/sbin/haproxy';

/** A raw connection that sends `bytes` and stays open; `text()` is what arrived so far. */
async function rawOpen(port, bytes) {
    const s = net.connect(port, '127.0.0.1');
    let got = '';
    s.on('data', (d) => (got += d.toString('latin1')));
    s.on('error', () => {});
    await new Promise((r) => s.once('connect', r));
    s.write(bytes);
    s.text = () => got;
    return s;
}

function v2Header(clientIp, clientPort) {
    const h = Buffer.alloc(28);
    Buffer.from('\r\n\r\n\0\r\nQUIT\n', 'latin1').copy(h, 0);
    h[12] = 0x21; // version 2, PROXY
    h[13] = 0x11; // TCP over IPv4
    h.writeUInt16BE(12, 14);
    clientIp.split('.').forEach((part, i) => (h[16 + i] = Number(part)));
    h.writeUInt16BE(clientPort, 24);
    h.writeUInt16BE(80, 26);
    return h;
}

test('a trusted peer names the client with a PROXY header; an untrusted one is refused', async () => {
    const relay = await Relay.start({ cleanups, config: { trustedProxies: ['127.0.0.1'] } });
    const v1 = await rawOpen(relay.port,
        'PROXY TCP4 198.51.100.7 127.0.0.1 40000 80\r\n' + upgradeRequest('/?room=px&player=v1'));
    await relay.waitLog((l) => l.startsWith('INFO JOIN room=px player=v1 ip=198.51.100.7 '));
    const v2 = await rawOpen(relay.port,
        Buffer.concat([v2Header('203.0.113.9', 5555), Buffer.from(upgradeRequest('/?room=px&player=v2'))]));
    await relay.waitLog((l) => l.startsWith('INFO JOIN room=px player=v2 ip=203.0.113.9 '));
    for (const s of [v1, v2]) await waitFor(() => /^HTTP\/1\.1 101 /.test(s.text()), 'the upgrade answer');
    const state = await relay.state();
    assert.deepEqual(state.players.map((p) => p.ip).sort(), ['198.51.100.7', '203.0.113.9']);
    v1.destroy();
    v2.destroy();

    // A header whose length cannot hold its addresses, and one that never ends: closed unanswered.
    const bad = v2Header('203.0.113.9', 1);
    bad.writeUInt16BE(4, 14);
    const badLength = await rawExchange(relay.port, Buffer.concat([bad, Buffer.from('GET / HTTP/1.1\r\n\r\n')]));
    assert.deepEqual([badLength.closed, badLength.data.length], [true, 0]);
    const endless = await rawExchange(relay.port, 'PROXY TCP4 ' + '1'.repeat(200));
    assert.deepEqual([endless.closed, endless.data.length], [true, 0]);

    // The same headers from a peer that is not trusted are never believed.
    const strict = await Relay.start({ cleanups, config: { trustedProxies: ['10.1.2.3'] } });
    const refused = await rawExchange(strict.port,
        'PROXY TCP4 198.51.100.7 127.0.0.1 40000 80\r\n' + upgradeRequest('/?room=px&player=liar'));
    assert.deepEqual([refused.closed, refused.data.length], [true, 0]);
    // Ordinary requests that begin like a header ("P...") still work.
    const post = await rawExchange(strict.port, 'POST /rooms HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nConnection: close\r\n\r\n');
    assert.match(post.data.toString(), /^HTTP\/1\.1 200 /);
    assert.ok(!strict.logText().includes('liar'));
});

test('forwarding headers from untrusted clients are ignored', async () => {
    const relay = await Relay.start({ cleanups, config: { trustedProxies: ['10.0.0.0/8'] } });
    const headers = { 'X-Forwarded-For': '1.2.3.4', Forwarded: 'for=5.6.7.8' };
    const ws = await relay.join({ room: 'f', player: 'forger' }, { headers, localAddress: '127.0.0.5' });
    await relay.waitLog((l) => l.startsWith('INFO JOIN room=f player=forger ip=127.0.0.5 '));
    ws.close();
});

test('HAProxy with send-proxy-v2: the JOIN line shows the client',
     { skip: !fs.existsSync(HAPROXY) && 'haproxy is not installed' }, async () => {
    const pair = haveOpenssl ? makeCertificate(tmp, 'h', '0x42') : undefined;
    const relay = await Relay.start({ cleanups, config: { trustedProxies: ['127.0.0.1'] }, pair });
    const front = await freePort();
    const cfg = path.join(tmp, 'haproxy.cfg');
    fs.writeFileSync(cfg, `global
    maxconn 64
defaults
    mode tcp
    timeout connect 5s
    timeout client 30s
    timeout server 30s
frontend game
    bind 127.0.0.1:${front}
    default_backend relay
backend relay
    server relay 127.0.0.1:${relay.port} send-proxy-v2
`);
    await startProgram(cleanups, HAPROXY, ['-db', '-f', cfg], { ready: front });
    const a = await openSocket(`ws://127.0.0.1:${front}/?room=hp&player=a`, { localAddress: '127.0.0.2' });
    await relay.waitLog((l) => l.startsWith('INFO JOIN room=hp player=a ip=127.0.0.2 '));
    if (pair) {
        // TLS passes through the proxy: the header comes first, then the handshake.
        const b = await openSocket(`wss://127.0.0.1:${front}/?room=hp&player=b`, { localAddress: '127.0.0.3' });
        await relay.waitLog((l) => l.startsWith('INFO JOIN room=hp player=b ip=127.0.0.3 '));
        b.send('through haproxy');
        await waitFor(() => hasReceived(a, 'through haproxy'), 'the relayed message');
        b.close();
    }
    a.close();
});

/** Debian's nginx terminating TLS in front of `relayPort`, with `headers` set towards it. */
async function startNginx(relayPort, pair, headers) {
    const front = await freePort();
    const prefix = tempDir(cleanups, 'nginx');
    const cfg = path.join(prefix, 'nginx.conf');
    fs.writeFileSync(cfg, `daemon off;
master_process off;
worker_processes 1;
pid ${prefix}/nginx.pid;
error_log ${prefix}/error.log;
events { worker_connections 64; }
http {
    access_log off;
    client_body_temp_path ${prefix}/body;
    proxy_temp_path ${prefix}/proxy;
    fastcgi_temp_path ${prefix}/fastcgi;
    uwsgi_temp_path ${prefix}/uwsgi;
    scgi_temp_path ${prefix}/scgi;
    server {
        listen 127.0.0.1:${front} ssl;
        ssl_certificate ${pair.cert};
        ssl_certificate_key ${pair.key};
        location / {
            proxy_pass http://127.0.0.1:${relayPort};
            proxy_http_version 1.1;
            proxy_set_header Upgrade $http_upgrade;
            proxy_set_header Connection "upgrade";
            ${headers}
        }
    }
}
`);
    await startProgram(cleanups, NGINX, ['-p', prefix, '-e', `${prefix}/error.log`, '-c', cfg], { ready: front });
    return front;
}

const noNginx = (!fs.existsSync(NGINX) && 'nginx is not installed') || (!haveOpenssl && 'no openssl');

test('nginx terminating TLS: bans hit the client behind it, not the proxy',
     { skip: noNginx },
     async () => {
    const pair = makeCertificate(tmp, 'n', '0x43');
    const relay = await Relay.start({ cleanups, config: { trustedProxies: ['127.0.0.1'] } });
    const front = await startNginx(relay.port, pair,
        'proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;\n            proxy_set_header Forwarded "";');
    const url = (player) => `wss://127.0.0.1:${front}/?room=ng&player=${player}`;
    // The client's own forwarding headers do not help it hide behind the proxy.
    const forged = { 'X-Forwarded-For': '9.9.9.9', Forwarded: 'for=8.8.8.8' };
    const a = await openSocket(url('a'), { localAddress: '127.0.0.3', headers: forged });
    await relay.waitLog((l) => l.startsWith('INFO JOIN room=ng player=a ip=127.0.0.3 '));
    const b = await openSocket(url('b'), { localAddress: '127.0.0.4' });
    await relay.waitLog((l) => l.startsWith('INFO JOIN room=ng player=b ip=127.0.0.4 '));

    const res = await relay.post('/api/ban', { ip: '127.0.0.3' });
    assert.equal(res.status, 200);
    await waitFor(() => a.readyState === WebSocket.CLOSED, 'the banned client to be closed');
    await assert.rejects(openSocket(url('again'), { localAddress: '127.0.0.3', headers: forged }), /status 403/);
    await relay.waitLog((l) => l === 'INFO REJECT banned ip=127.0.0.3');
    // Everyone else behind the same proxy is unaffected.
    const c = await openSocket(url('c'), { localAddress: '127.0.0.5' });
    c.send('still here');
    await waitFor(() => hasReceived(b, 'still here'), 'the relayed message');
    b.close();
    c.close();
});

test('nginx setting Forwarded and passing X-Forwarded-For on: the one header named is read',
     { skip: noNginx }, async () => {
    const pair = makeCertificate(tmp, 'f', '0x44');
    const relay = await Relay.start({ cleanups,
                                      config: { trustedProxies: ['127.0.0.1'], forwardedHeader: 'Forwarded' } });
    // nginx passes the client's own X-Forwarded-For through untouched here.
    const front = await startNginx(relay.port, pair, 'proxy_set_header Forwarded "for=$remote_addr";');
    const forged = { 'X-Forwarded-For': '6.6.6.6' };
    const ws = await openSocket(`wss://127.0.0.1:${front}/?room=fw&player=p`,
                                { localAddress: '127.0.0.6', headers: forged });
    await relay.waitLog((l) => l.startsWith('INFO JOIN room=fw player=p ip=127.0.0.6 '));
    ws.close();
});

test('a dual-stack port serves IPv6 and IPv4 clients', async (t) => {
    const v6 = await new Promise((resolve) => {
        const s = net.createServer().once('error', () => resolve(false)).listen(0, '::1', () => s.close(() => resolve(true)));
    });
    if (!v6) return t.skip('this machine has no IPv6 loopback');
    const relay = await Relay.start({ cleanups, config: { gameHost: '::' }, waitListening: false,
        args: (port) => ['--console', String(port)] });
    await relay.waitLog((l) => l.startsWith(`INFO relay listening ws://[::]:${relay.port} `));
    const a = await openSocket(`ws://[::1]:${relay.port}/?room=ds&player=six`);
    const b = await openSocket(`ws://127.0.0.1:${relay.port}/?room=ds&player=four`);
    await relay.waitLog((l) => l.startsWith('INFO JOIN room=ds player=six ip=::1 '));
    await relay.waitLog((l) => l.startsWith('INFO JOIN room=ds player=four ip=127.0.0.1 '));
    a.send('v6 to v4');
    await waitFor(() => hasReceived(b, 'v6 to v4'), 'the relayed message');
    // An IPv6 ban matches the compressed text.
    await relay.post('/api/ban', { ip: '::1' });
    await assert.rejects(openSocket(`ws://[::1]:${relay.port}/?room=ds&player=again`), /status 403/);
    b.close();
});

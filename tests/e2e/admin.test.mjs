// The admin endpoint against the running relay: routing and headers, the live log reader, the
// moderation requests and their bodies, refused origins, bans kept across a restart; and named
// accounts: logins and their back-off, sessions, roles and the anti-forgery token, other
// machines held to TLS and a login.
import { test, before } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import https from 'node:https';
import path from 'node:path';
import { haveOpenssl, makeCertificate } from './lib/certs.mjs';
import { BIN, CLUSTER_STATE_KEYS, Relay, adminAccounts, cleanupAfter, configText, isClusterLine,
         makeDataRoot, openSocket, setAdminPassword, tempDir, waitFor } from './lib/harness.mjs';
import { parseMetrics } from './lib/metrics.mjs';

const JSON_TYPE = 'application/json';
const OK = '{"ok":true}';

/**
 * One HTTP request with full control over the headers (fetch will not send a foreign Host); with
 * `tls` over https (any certificate), from `localAddress` when given (another loopback address
 * is another peer to the relay).
 */
function request(port, { method = 'GET', path: target = '/', headers = {}, body, host = '127.0.0.1',
                         localAddress, tls = false } = {}) {
    return new Promise((resolve, reject) => {
        const options = { host, port, method, path: target, headers, localAddress,
                          rejectUnauthorized: false };
        const req = (tls ? https : http).request(options, (res) => {
            const chunks = [];
            res.on('data', (d) => chunks.push(d));
            res.on('end', () => resolve({ status: res.statusCode, headers: res.headers,
                                          text: Buffer.concat(chunks).toString('utf8') }));
        });
        req.on('error', reject);
        if (body !== undefined) req.write(body);
        req.end();
    });
}

function assertJsonHeaders(res, what) {
    assert.equal(res.headers['content-type'], JSON_TYPE, `${what}: content type`);
    assert.equal(res.headers['access-control-allow-origin'], '*', `${what}: cross-origin header`);
}

const post = (relay, target, body, headers = {}) =>
    request(relay.adminPort, { method: 'POST', path: target, body, headers });

async function playerIds(relay) {
    return (await relay.state()).players.map((p) => p.connId).sort((a, b) => a - b);
}

const cleanups = cleanupAfter();
let relay;
before(async () => (relay = await Relay.start({ cleanups })));

test('paths match exactly, ignoring method and query; everything else is the page', async () => {
    const page = fs.readFileSync(path.join(path.dirname(BIN), 'AdminPage.html'), 'utf8');
    for (const [method, target] of [['GET', '/api/state'], ['POST', '/api/state?x=1&since=5'],
                                    ['OPTIONS', '/api/state']]) {
        const res = await request(relay.adminPort, { method, path: target });
        assert.equal(res.status, 200, `${method} ${target}`);
        assertJsonHeaders(res, `${method} ${target}`);
        const state = JSON.parse(res.text);
        assert.deepEqual(Object.keys(state).filter((k) => !CLUSTER_STATE_KEYS.includes(k)), ['bans', 'configSaved', 'gamePort', 'limitRefusals', 'logPath', 'players', 'rooms']);
        assert.equal(state.gamePort, relay.port);
        assert.equal(state.logPath, relay.logPath);
    }
    for (const target of ['/', '/api/state/', '/API/STATE', '/index.html', '/favicon.ico',
                          '/api', '/api/kick/x?connId=1']) {
        const res = await request(relay.adminPort, { path: target });
        assert.equal(res.status, 200, target);
        assert.equal(res.headers['content-type'], 'text/html; charset=utf-8', target);
        assert.equal(res.headers['access-control-allow-origin'], undefined, target);
        assert.equal(res.text, page, `${target} answers the page`);
    }
    // Moderation paths answer ok whatever the method, also without a body.
    for (const method of ['GET', 'OPTIONS', 'PUT']) {
        for (const target of ['/api/kick', '/api/ban', '/api/unban?ip=1.2.3.4']) {
            const res = await request(relay.adminPort, { method, path: target });
            assert.equal(res.status, 200, `${method} ${target}`);
            assertJsonHeaders(res, `${method} ${target}`);
            assert.equal(res.text, OK, `${method} ${target}`);
        }
    }
    assert.deepEqual((await relay.state()).bans, [], 'query strings carry no parameters');
});

test('the log reader reads "since" like strtoull and follows the offset', async () => {
    const log = async (query) => {
        const res = await request(relay.adminPort, { path: `/api/log${query}` });
        assert.equal(res.status, 200, query);
        assertJsonHeaders(res, query);
        const body = JSON.parse(res.text);
        assert.deepEqual(Object.keys(body), ['lines', 'offset', 'reset'], query);
        return body;
    };
    const size = fs.statSync(relay.logPath).size;
    const full = await log('');
    assert.equal(full.reset, false);
    assert.equal(full.offset, size);
    assert.match(full.lines[0], / INFO relay listening ws:\/\/0\.0\.0\.0:\d+ {2}admin http:\/\/127\.0\.0\.1:\d+$/);
    for (const query of ['?since=', '?since=abc', '?SINCE=0', '?since=-0', `?since=${'1'.repeat(300)}`]) {
        assert.deepEqual(await log(query), full, `${query} reads from the start`);
    }
    // Offsets past the end (a huge value, overflow, a minus sign) start over with reset.
    for (const query of ['?since=99999999999999999999999', '?since=-1', '?since=18446744073709551615']) {
        assert.deepEqual(await log(query), { ...full, reset: true }, query);
    }
    assert.deepEqual(await log(`?since=${size}`), { lines: [], offset: size, reset: false });
    // Blanks are skipped and reading stops at the first non-digit.
    const mid = await log('?since=%20%20%095xyz');
    assert.deepEqual(mid, await log('?since=5'));
    assert.equal(mid.lines[0], full.lines[0].slice(5), 'resumes inside the line without reset');

    // New lines arrive after the offset the client carries.
    await post(relay, '/api/ban', JSON.stringify({ ip: '192.0.2.77' }));
    await post(relay, '/api/unban', JSON.stringify({ ip: '192.0.2.77' }));
    const next = await log(`?since=${full.offset}`);
    assert.deepEqual(next.lines.map((l) => l.replace(/^[\d :-]{19} /, '')),
                     ['INFO BAN ip=192.0.2.77', 'INFO UNBAN ip=192.0.2.77']);
});

test('kick reads connId as a number or boolean, reduced to 32 bits', async () => {
    const kicks = () => relay.logLines().filter((l) => l.startsWith('INFO KICK'));
    const kicked = async (body, what) => {
        const ws = await relay.join({ room: 'kicks', name: 'K' });
        const leaves = () => relay.logLines().filter((l) => l.startsWith('INFO LEAVE room=kicks'));
        const leftBefore = leaves().length;
        const id = (await playerIds(relay)).at(-1);
        const res = await post(relay, '/api/kick', JSON.stringify(body(id)));
        assert.equal(res.status, 200, what);
        assert.equal(res.text, OK, what);
        await relay.waitLog(`INFO KICK connId=${id} ip=127.0.0.1`, `${what} kicks ${id}`);
        await ws.closedPromise;
        // The relay's close (and the LEAVE line) may follow the client's by a moment.
        await waitFor(() => leaves().length > leftBefore, 'the LEAVE line');
        const lines = relay.logLines();
        assert.ok(lines.indexOf(`INFO KICK connId=${id} ip=127.0.0.1`) <
                  lines.findLastIndex((l) => l.startsWith('INFO LEAVE room=kicks')), 'KICK before LEAVE');
    };
    await kicked((id) => ({ connId: id }), 'an integer');
    await kicked((id) => ({ connId: id + 0.9 }), 'a fraction');
    await kicked((id) => ({ connId: id + 4294967296 }), 'a value above 32 bits');
    await kicked((id) => ({ connId: id - 4294967296 }), 'a negative value');

    const ws = await relay.join({ room: 'kicks', name: 'stays' });
    const before = kicks().length;
    for (const body of ['{"connId":true}', '{"connId":false}', '{"connId":-1}', '{"connId":4294967295}',
                        '{"connId":1e19}', '{"connId":-1.5}', '{"connId":1e400}', '{}',
                        'connId=3', '{"connId":3']) {
        const res = await post(relay, '/api/kick', body);
        assert.equal(res.status, 200, body);
        assert.equal(res.text, OK, body);
    }
    assert.equal(kicks().length, before, 'no connection has any of those ids');
    assert.equal(ws.readyState, ws.OPEN);
    ws.close();
    await ws.closedPromise;
});

test('wrong-typed bodies get 400 and change nothing; the relay stays up', async () => {
    const cases = [
        ['/api/kick', '[3]'], ['/api/kick', '"3"'], ['/api/kick', '7'], ['/api/kick', 'null'],
        ['/api/kick', '{"connId":"3"}'], ['/api/kick', '{"connId":null}'], ['/api/kick', '{"connId":{}}'],
        ['/api/ban', '{"ip":5}'], ['/api/ban', '{"ip":"198.51.100.1","name":["x"]}'],
        ['/api/ban', '["198.51.100.1"]'], ['/api/unban', '{"ip":false}'], ['/api/unban', 'true'],
        ['/api/ban', '['.repeat(400000) + ']'.repeat(400000)],
    ];
    for (const [target, body] of cases) {
        const res = await post(relay, target, body);
        const what = `${target} ${body.slice(0, 40)}`;
        assert.equal(res.status, 400, what);
        assertJsonHeaders(res, what);
        const reply = JSON.parse(res.text);
        assert.deepEqual(Object.keys(reply), ['error', 'ok'], what);
        assert.equal(reply.ok, false, what);
        assert.ok(reply.error.length > 0, what);
    }
    // Form-encoded and broken bodies read as no parameters.
    for (const body of ['ip=198.51.100.1', '', '{"ip":"198.51.100.1"', '{"ip":"198.51.100.1"} x']) {
        const res = await post(relay, '/api/ban', body,
                               { 'Content-Type': 'application/x-www-form-urlencoded' });
        assert.equal(res.status, 200, body);
        assert.equal(res.text, OK, body);
    }
    assert.deepEqual((await relay.state()).bans, []);
    // Join values may decode to any bytes: the documents replace invalid UTF-8 instead of failing.
    const ws = await openSocket(relay.url('/?room=P_%C3x&name=%FFAnn&player=%E2%82'));
    const state = await relay.state();
    const player = state.players.find((p) => p.room.startsWith('P_'));
    assert.equal(player.name, '\uFFFDAnn');
    assert.equal(player.guid, '\uFFFD');
    assert.deepEqual(state.rooms.find((r) => r.room.startsWith('P_')), { count: 1, room: 'P_\uFFFDx' });
    const rooms = await relay.get('/rooms?project=P');
    assert.deepEqual(JSON.parse(rooms.text), [{ count: 1, room: '\uFFFDx' }]);
    ws.close();
    await waitFor(async () => (await relay.state()).players.length === 0, 'the player to leave');
});

test('requests from other origins or for other hosts are refused', async () => {
    const host = `127.0.0.1:${relay.adminPort}`;
    const refused = [
        { Origin: 'http://evil.example' },
        { Origin: 'null' },
        { Origin: `http://localhost:${relay.adminPort}` }, // Host says 127.0.0.1
        { Origin: `https://${host}` },
        { Host: `evil.example:${relay.adminPort}` },
        { Host: 'attacker.test', Origin: 'http://attacker.test' }, // DNS rebinding
    ];
    for (const headers of refused) {
        for (const target of ['/api/state', '/api/ban', '/']) {
            const res = await request(relay.adminPort, {
                method: 'POST', path: target, headers, body: '{"ip":"203.0.113.9"}' });
            const what = `${target} ${JSON.stringify(headers)}`;
            assert.equal(res.status, 403, what);
            assert.match(res.headers['content-type'], /^text\/plain/, what);
            assert.ok(res.text.endsWith('\n') && !res.text.includes('players'), what);
        }
    }
    assert.deepEqual((await relay.state()).bans, [], 'a refused ban changed nothing');

    for (const headers of [{ Origin: `http://${host}` }, { Host: `localhost:${relay.adminPort}`,
                            Origin: `http://localhost:${relay.adminPort}` }, { Host: '[::1]' }]) {
        const res = await request(relay.adminPort, { path: '/api/state', headers });
        assert.equal(res.status, 200, JSON.stringify(headers));
    }
});

test('a ban closes every connection of the address, once, and is saved before its line', async () => {
    const port = relay.port;
    const bob = await relay.join({ room: 'P_lobby', player: 'g1', name: 'Bob' });
    const anon = await relay.join({ room: 'P_other', player: 'g2' });
    const mark = relay.logLines().length;
    const res = await post(relay, '/api/ban', JSON.stringify({ ip: '127.0.0.1' }));
    assert.equal(res.text, OK);
    await Promise.all([bob.closedPromise, anon.closedPromise]);
    await waitFor(async () => (await relay.state()).players.length === 0, 'both players to leave');
    const lines = relay.logLines().slice(mark);
    assert.deepEqual(lines.filter((l) => l.includes(' BAN ')), ['INFO BAN ip=127.0.0.1 name=Bob'],
                     'one BAN line with the name of the connected player');
    assert.equal(lines.filter((l) => l.includes('KICK')).length, 0, 'no KICK lines');
    assert.equal(lines.filter((l) => l.startsWith('INFO LEAVE')).length, 2, 'both left');

    const banned = `{\n  "adminPort": ${port + 1},\n  "bans": [\n    {\n      "ip": "127.0.0.1",\n` +
        `      "name": "Bob"\n    }\n  ],\n  "gamePort": ${port}\n}`;
    assert.equal(configText(relay.configPath), banned);
    assert.deepEqual((await relay.state()).bans, [{ ip: '127.0.0.1', name: 'Bob' }]);
    await assert.rejects(relay.join({ room: 'P_lobby' }), /403/);
    await relay.waitLog('INFO REJECT banned ip=127.0.0.1');

    // Values from the API cannot forge log lines.
    await post(relay, '/api/ban', JSON.stringify({ ip: '10.0.0.7\r\n2026-01-01 00:00:00 INFO X',
                                                   name: 'Eve\nINFO KICK' }));
    await relay.waitLog('INFO BAN ip=10.0.0.7\\x0D\\x0A2026-01-01 00:00:00 INFO X name=Eve\\x0AINFO KICK');
    await post(relay, '/api/unban', JSON.stringify({ ip: '10.0.0.7\r\n2026-01-01 00:00:00 INFO X' }));

    // Bans survive a restart; the stored names stay as they were.
    await relay.stop();
    relay = await Relay.start({ cleanups, dataRoot: relay.dataRoot, port: relay.port });
    assert.deepEqual((await relay.state()).bans, [{ ip: '127.0.0.1', name: 'Bob' }]);
    await assert.rejects(relay.join({ room: 'P_lobby' }), /403/);

    // Unbanning an unknown address writes nothing; unbanning the ban restores the file.
    const before = relay.logText();
    await post(relay, '/api/unban', JSON.stringify({ ip: '127.0.0.2' }));
    assert.equal(relay.logText(), before);
    assert.equal(configText(relay.configPath), banned);
    await post(relay, '/api/unban', JSON.stringify({ ip: '127.0.0.1' }));
    await relay.waitLog('INFO UNBAN ip=127.0.0.1');
    assert.equal(configText(relay.configPath),
                 `{\n  "adminPort": ${port + 1},\n  "bans": [],\n  "gamePort": ${port}\n}`);
    const back = await relay.join({ room: 'P_lobby' });
    back.close();
    await back.closedPromise;
});

test('a ban without a name and no matching player stores an empty name', async () => {
    await post(relay, '/api/ban', JSON.stringify({ ip: '198.51.100.3', name: 'First' }));
    await post(relay, '/api/ban', JSON.stringify({ ip: '198.51.100.3' }));
    await relay.waitLog('INFO BAN ip=198.51.100.3');
    assert.deepEqual((await relay.state()).bans, [{ ip: '198.51.100.3', name: '' }]);
    await post(relay, '/api/unban', JSON.stringify({ ip: '198.51.100.3' }));
});

test('one log request reads at most 256 KiB, from a whole line', async () => {
    await relay.stop();
    // 400 KiB of earlier lines in the live log (below the rotation limit).
    const filler = Array.from({ length: 4000 }, (_, i) =>
        `2026-01-01 00:00:00 INFO filler ${String(i).padStart(4, '0')} ${'x'.repeat(60)}\r\n`).join('');
    fs.appendFileSync(relay.logPath, filler);
    relay = await Relay.start({ cleanups, dataRoot: relay.dataRoot, port: relay.port });
    const size = fs.statSync(relay.logPath).size;
    const res = await request(relay.adminPort, { path: '/api/log?since=0' });
    const body = JSON.parse(res.text);
    assert.equal(body.reset, true, 'the start was skipped');
    assert.equal(body.offset, size);
    const bytes = body.lines.reduce((n, l) => n + Buffer.byteLength(l) + 2, 0);
    assert.ok(bytes <= 262144 && bytes > 262144 - 200, `read ${bytes} bytes`);
    assert.match(body.lines[0], /^2026-01-01 00:00:00 INFO filler \d{4} x{60}$/, 'a whole first line');
    assert.match(body.lines.filter((l) => !isClusterLine(l)).at(-1), / INFO relay listening /);
});

test('the summary, player and room pages stay bounded, cover every player once and refuse bad parameters', async () => {
    const json = async (target, status = 200) => {
        const res = await request(relay.adminPort, { path: target });
        assert.equal(res.status, status, `${target}: ${res.text}`);
        assertJsonHeaders(res, target);
        return JSON.parse(res.text);
    };
    // 100 players in P_big (60 a seat: P_big and P_big#2), one in each of P_r0 ... P_r19.
    const sockets = [];
    for (let i = 0; i < 100; i++) {
        sockets.push(await relay.join({ room: 'P_big', max: '60', player: `g${i}`, name: `Big${i}` }));
    }
    for (let i = 0; i < 20; i++) sockets.push(await relay.join({ room: `P_r${i}`, name: `Solo${i}` }));
    try {
        const summary = await json('/api/summary');
        assert.deepEqual(Object.keys(summary).filter((k) => !CLUSTER_STATE_KEYS.includes(k)),
                         ['bans', 'busiestRooms', 'configSaved', 'connections', 'gamePort', 'instances',
                          'limitRefusals', 'logPath', 'players', 'rooms', 'uptimeSeconds']);
        assert.equal(summary.players, 120);
        assert.equal(summary.instances, 22);
        assert.equal(summary.rooms, 21);
        assert.ok(summary.connections >= 120, `${summary.connections} connections`);
        assert.equal(summary.busiestRooms.length, 10, 'the busiest ten, however many rooms');
        assert.deepEqual(summary.busiestRooms[0], { count: 100, room: 'P_big' });

        // Pages of 50 walk every player once, in id order; a larger limit is cut to 200.
        const all = (await relay.state()).players.map((p) => p.connId).sort((a, b) => a - b);
        const seen = [];
        for (let offset = 0; offset !== null;) {
            const page = await json(`/api/players?limit=50&offset=${offset}`);
            assert.equal(page.total, 120);
            assert.ok(page.players.length <= 50);
            seen.push(...page.players.map((p) => p.connId));
            offset = page.nextOffset;
        }
        assert.deepEqual(seen, all);
        const wide = await json('/api/players?limit=100000');
        assert.equal(wide.limit, 200);
        assert.equal(wide.players.length, 120);
        assert.deepEqual(wide.players[0], (await relay.state()).players.find((p) => p.connId === all[0]),
                         'a player as the state document shows it');

        assert.equal((await json('/api/players?room=P_big')).total, 100, 'a name takes its instances');
        assert.equal((await json('/api/players?room=P_big%232')).total, 40, 'one instance');
        const found = await json('/api/players?q=big7');
        assert.deepEqual(found.players.map((p) => p.name).sort(),
                         ['Big7', ...Array.from({ length: 10 }, (_, i) => `Big7${i}`)].sort());
        const rooms = await json('/api/rooms?q=r1&limit=5');
        assert.equal(rooms.total, 11);
        assert.deepEqual(rooms.rooms.map((r) => r.room), ['P_r1', 'P_r10', 'P_r11', 'P_r12', 'P_r13']);
        assert.equal(rooms.nextOffset, 5);

        for (const target of ['/api/players?offset=-1', '/api/players?limit=0', '/api/rooms?limit=x',
                              '/api/players?offset=1e3', '/api/log?max=0', '/api/log?since=0&max=big']) {
            const body = await json(target, 400);
            assert.equal(body.ok, false, target);
            assert.match(body.error, /must be a whole number/, target);
        }

        // The log read on in small pieces: every line once, nothing skipped, the place kept.
        const whole = (await json('/api/log')).lines;
        const pieces = [];
        let log = { offset: 0, pending: 1 };
        for (let reads = 0; log.pending > 0; reads++) {
            assert.ok(reads < 1000, 'the reads end');
            log = await json(`/api/log?since=${log.offset}&max=4096`);
            assert.deepEqual(Object.keys(log), ['lines', 'offset', 'pending', 'reset']);
            assert.equal(log.reset, false);
            assert.ok(log.lines.reduce((n, l) => n + Buffer.byteLength(l) + 2, 0) <= 4096);
            pieces.push(...log.lines);
        }
        // The plain read gave the newest 256 KiB (the log holds the previous test's 400 KiB of
        // filler too); the pieces end with them. However much a reader asks, a piece is 64 KiB.
        assert.ok(pieces.length > whole.length);
        assert.deepEqual(pieces.slice(-whole.length), whole);
        assert.equal(new Set(pieces.filter((l) => l.includes(' filler '))).size, 4000);
        const big = await json('/api/log?since=0&max=100000000');
        const bigBytes = big.lines.reduce((n, l) => n + Buffer.byteLength(l) + 2, 0);
        assert.ok(bigBytes <= 65536 && big.offset <= 65536 && big.pending > 0,
                  `${bigBytes} bytes, offset ${big.offset}`);
    } finally {
        for (const ws of sockets) ws.close();
        await waitFor(async () => (await relay.state()).players.length === 0, 'players gone');
    }
});

const skipNoOpenssl = !haveOpenssl && 'the openssl command is not installed';
const certDir = tempDir(cleanups, 'admin-tls');
const pair = haveOpenssl ? makeCertificate(certDir, 'admin', '0x0AD1') : undefined;

test('logins: one answer for every failure, back-off counted, cookie flags, tokens, roles, logout, ' +
     'accounts changed by hand, and no hash in any answer or log', { skip: skipNoOpenssl }, async () => {
    const dataRoot = makeDataRoot();
    const config = adminAccounts(dataRoot, [['alice', 'alice-password-1', 'moderator'],
                                            ['victor', 'victor-password', 'viewer'],
                                            ['vera', 'vera-password-1', 'viewer']]);
    const relay = await Relay.start({ cleanups, dataRoot, pair,
                                      config: { ...config, adminLoginOnLoopback: true } });
    const answers = [];
    // Bodies with a length: a chunked body over TLS upsets the request after it (not ours here).
    const ask = async (options) => {
        const headers = options.body === undefined ? options.headers
            : { 'Content-Length': Buffer.byteLength(options.body), ...options.headers };
        const res = await request(relay.adminPort, { tls: true, ...options, headers });
        answers.push(JSON.stringify(res.headers) + res.text);
        return res;
    };
    const login = (name, password, localAddress) =>
        ask({ method: 'POST', path: '/api/login', localAddress, body: JSON.stringify({ name, password }) });
    const withSession = (session, options = {}) => ask({ ...options, headers: {
        Cookie: session.cookie, 'X-Admin-Token': session.csrf, ...options.headers } });
    const open = async (name, password, localAddress) => {
        const res = await login(name, password, localAddress);
        assert.equal(res.status, 200, `${name} logs in: ${res.text}`);
        return { ...JSON.parse(res.text), cookie: res.headers['set-cookie'][0].split(';')[0] };
    };
    const metrics = async () => parseMetrics((await ask({ path: '/metrics' })).text);

    // Without a session: the page and this machine's monitoring, nothing of the API.
    for (const [method, target] of [['GET', '/api/state'], ['GET', '/api/log'], ['POST', '/api/kick'],
                                    ['GET', '/api/session'], ['GET', '/api/state/']]) {
        const res = await ask({ method, path: target, body: method === 'POST' ? '{"connId":1}' : undefined });
        assert.equal(res.status, 401, `${method} ${target}`);
        assert.deepEqual(JSON.parse(res.text), { error: 'log in first', ok: false });
    }
    const page = await ask({ path: '/' });
    assert.equal(page.status, 200);
    assert.equal(page.headers['x-frame-options'], 'DENY');
    assert.equal((await ask({ path: '/healthz' })).status, 200);
    assert.equal((await ask({ path: '/api/login' })).status, 405, 'never a password in a URL');
    const plain = await request(relay.adminPort, { path: '/api/state' });
    assert.equal(plain.status, 401, 'plain HTTP from this machine must log in as well');

    // Every failure gets the same answer; two in a row hold back the address and the name.
    const wrong = await login('victor', 'not-it', '127.0.0.3');
    const nobody = await login('nobody', 'victor-password', '127.0.0.4');
    assert.equal(wrong.status, 401);
    assert.deepEqual([nobody.status, nobody.text], [wrong.status, wrong.text]);
    assert.deepEqual(JSON.parse(wrong.text), { error: 'name or password wrong', ok: false });
    assert.equal((await login('victor', 'not-it-either', '127.0.0.3')).status, 401);
    for (const [name, password, from] of [['victor', 'victor-password', '127.0.0.3'],
                                          ['victor', 'victor-password', '127.0.0.5'], // the name
                                          ['alice', 'alice-password-1', '127.0.0.3']]) { // the address
        const held = await login(name, password, from);
        assert.equal(held.status, 429, `${name} from ${from}: ${held.text}`);
        assert.ok(Number(held.headers['retry-after']) >= 1, 'says how long to wait');
        assert.match(JSON.parse(held.text).error, /^too many failed logins: try again in \d+ s$/);
    }
    let m = await metrics();
    assert.equal(m.get('tnlrelay_admin_logins_total{result="wrong"}'), 3);
    assert.equal(m.get('tnlrelay_admin_logins_total{result="backoff"}'), 3, 'held back unchecked');
    assert.equal(m.get('tnlrelay_admin_logins_total{result="ok"}'), 0);
    const failures = relay.logLines().filter((l) => l.includes('ADMIN LOGIN FAILED'));
    assert.deepEqual(failures, ['INFO ADMIN LOGIN FAILED account=victor ip=127.0.0.3',
                                'INFO ADMIN LOGIN FAILED unknown name ip=127.0.0.4',
                                'INFO ADMIN LOGIN FAILED account=victor ip=127.0.0.3']);

    // A session: its cookie's flags, its token, and what it may do.
    const res = await login('alice', 'alice-password-1', '127.0.0.6');
    assert.equal(res.status, 200, res.text);
    const [setCookie] = res.headers['set-cookie'];
    assert.match(setCookie, /^tnlrelay_session=[0-9a-f]{80}; HttpOnly; Secure; SameSite=Strict; Path=\/; Max-Age=43200$/);
    assert.equal(res.headers['cache-control'], 'no-store');
    const alice = { ...JSON.parse(res.text), cookie: setCookie.split(';')[0] };
    assert.deepEqual(Object.keys(alice).sort(), ['cookie', 'csrf', 'login', 'name', 'ok', 'role']);
    assert.match(alice.csrf, /^[0-9a-f]{64}$/);
    assert.equal(alice.role, 'moderator');
    assert.deepEqual(JSON.parse((await withSession(alice, { path: '/api/session' })).text),
                     { csrf: alice.csrf, login: true, name: 'alice', ok: true, role: 'moderator' });
    assert.equal((await withSession(alice, { path: '/api/state' })).status, 200);

    const player = await relay.join({ room: 'P_lobby', player: 'g1', name: 'Griefer' });
    const state = async (session) => JSON.parse((await withSession(session, { path: '/api/state' })).text);
    const connId = (await state(alice)).players[0].connId;
    const kick = (headers) => withSession(alice, { method: 'POST', path: '/api/kick', headers,
                                                   body: JSON.stringify({ connId }) });
    for (const [headers, why] of [[{ 'X-Admin-Token': '' }, 'no token'],
                                  [{ 'X-Admin-Token': 'f'.repeat(64) }, 'a wrong token'],
                                  [{ Origin: 'https://evil.example' }, 'another origin']]) {
        assert.equal((await kick(headers)).status, 403, why);
    }
    assert.equal(player.readyState, 1, 'refused kicks kicked no one');
    const kicked = await kick({ Origin: `https://127.0.0.1:${relay.adminPort}` });
    assert.equal(kicked.status, 200, kicked.text);
    await player.closedPromise;
    const byAlice = (line) => {
        const lines = relay.logLines();
        const at = lines.indexOf(`INFO ${line}`);
        assert.ok(at >= 0, `${line} in the log`);
        assert.equal(lines[at + 1], `INFO ADMIN account=alice ${line.split(' name=')[0].split(' ip=127')[0]}`,
                     `the line after ${line} names the account`);
    };
    byAlice(`KICK connId=${connId} ip=127.0.0.1`);
    assert.equal((await withSession(alice, { method: 'POST', path: '/api/ban',
        body: '{"ip":"198.51.100.7","name":"M"}' })).status, 200);
    byAlice('BAN ip=198.51.100.7 name=M');
    assert.deepEqual(JSON.parse(fs.readFileSync(relay.configPath, 'utf8')).admins, config.admins,
                     'the ban rewrote config.json with every account');
    assert.equal((await withSession(alice, { method: 'POST', path: '/api/unban',
        body: '{"ip":"198.51.100.7"}' })).status, 200);
    byAlice('UNBAN ip=198.51.100.7');

    // A viewer reads and may not moderate.
    const vera = await open('vera', 'vera-password-1', '127.0.0.7');
    assert.equal(vera.role, 'viewer');
    assert.equal((await withSession(vera, { path: '/api/log' })).status, 200);
    const refused = await withSession(vera, { method: 'POST', path: '/api/ban', body: '{"ip":"198.51.100.8"}' });
    assert.equal(refused.status, 403);
    assert.match(JSON.parse(refused.text).error, /may only view/);
    assert.deepEqual((await state(vera)).bans, [], 'the viewer banned nothing');

    // Logout ends the session at once.
    const out = await withSession(alice, { method: 'POST', path: '/api/logout', body: '{}' });
    assert.equal(out.status, 200);
    assert.match(out.headers['set-cookie'][0], /^tnlrelay_session=; .*Max-Age=0$/);
    assert.equal((await withSession(alice, { path: '/api/state' })).status, 401, 'refused after logout');
    await relay.waitLog('INFO ADMIN LOGOUT account=alice');

    // Hand edits: an account removed, a password set anew while the relay runs.
    const alice2 = await open('alice', 'alice-password-1', '127.0.0.8');
    const edited = JSON.parse(fs.readFileSync(relay.configPath, 'utf8'));
    edited.admins = edited.admins.filter((a) => a.name !== 'vera');
    fs.writeFileSync(relay.configPath, JSON.stringify(edited));
    await waitFor(async () => (await withSession(vera, { path: '/api/state' })).status === 401,
                  'the removed account\'s session to end');
    assert.equal(setAdminPassword(dataRoot, 'alice', 'alice-password-2').status, 0);
    await waitFor(async () => (await withSession(alice2, { path: '/api/state' })).status === 401,
                  'the session of a changed password to end');
    assert.equal(relay.logLines().filter((l) => l.startsWith('INFO ADMIN sessions ended: 1 ')).length, 2);
    m = await metrics();
    assert.equal(m.get('tnlrelay_admin_logins_total{result="ok"}'), 3);
    assert.equal(m.get('tnlrelay_admin_sessions'), 0);

    // No hash, nor its salt or sum, in any answer, log line or output.
    const hashes = [...config.admins, ...JSON.parse(fs.readFileSync(relay.configPath, 'utf8')).admins]
        .map((a) => a.passwordHash);
    const seen = [...answers, relay.logText(), relay.stdout, relay.stderr].join('\n');
    for (const hash of hashes)
        for (const part of [hash, ...hash.split('$').slice(4)])
            assert.ok(!seen.includes(part), `${part} was shown`);
});

test('other machines must use TLS and log in; this machine keeps its way (the remote peers\' seam)',
     { skip: skipNoOpenssl }, async () => {
    const dataRoot = makeDataRoot();
    const config = adminAccounts(dataRoot, [['rita', 'rita-password-1']]);
    // Only 127.0.0.1 is this machine here: a client from 127.0.0.3 stands for another one.
    const env = { TNLRELAY_ADMIN_LOCAL_PEERS: '127.0.0.1/32' };
    const relay = await Relay.start({ cleanups, dataRoot, pair, env,
                                      config: { ...config, adminHost: '127.0.0.2' } });
    assert.ok(relay.logLines().includes(`INFO relay listening ws://0.0.0.0:${relay.port}  admin ` +
                                        `https://127.0.0.2:${relay.adminPort}`), relay.logText());
    await relay.waitLog('INFO admin: other machines must use TLS and log in (1 accounts); this ' +
                        'machine needs no login');
    const from = (localAddress, options) => request(relay.adminPort, {
        host: '127.0.0.2', localAddress, ...options, headers: options.body === undefined ? options.headers
            : { 'Content-Length': Buffer.byteLength(options.body), ...options.headers } });

    assert.equal((await from('127.0.0.1', { path: '/api/state' })).status, 200, 'this machine');
    for (const target of ['/api/state', '/']) {
        const res = await from('127.0.0.3', { path: target });
        assert.equal(res.status, 403, `plain ${target} from afar`);
        assert.match(res.headers['content-type'], /^text\/html/);
        assert.match(res.text, /TLS/);
        assert.match(res.text, /https:\/\//);
        assert.ok(!res.text.includes('players') && !res.text.includes('<script'));
    }
    const far = (options) => from('127.0.0.3', { tls: true, ...options });
    assert.equal((await far({ path: '/api/state' })).status, 401);
    assert.equal((await far({ path: '/metrics' })).status, 401, 'monitoring too, from afar');
    assert.equal((await far({ path: '/' })).status, 200, 'the page, with its login view');
    const loggedIn = await far({ method: 'POST', path: '/api/login',
                                 headers: { Origin: `https://relay.example:${relay.adminPort}`,
                                            Host: `relay.example:${relay.adminPort}` },
                                 body: '{"name":"rita","password":"rita-password-1"}' });
    assert.equal(loggedIn.status, 200, 'any name reaches the relay from afar');
    const cookie = loggedIn.headers['set-cookie'][0].split(';')[0];
    assert.equal((await far({ path: '/api/state', headers: { Cookie: cookie } })).status, 200);
    assert.equal((await far({ path: '/api/state', headers: { Cookie: cookie,
        Origin: 'https://evil.example' } })).status, 403, 'another origin');
    await relay.waitLog('INFO ADMIN LOGIN account=rita role=moderator ip=127.0.0.3');

    // Without a certificate or without an account, the port stays on this machine, saying why.
    for (const [what, start, why] of [
        ['no certificate', { config: { ...config, adminHost: '127.0.0.2' } },
         'the game port\'s certificate (tlsCertificate and tlsPrivateKey that load)'],
        ['no account', { pair, config: { adminHost: '127.0.0.2' } },
         'at least one usable account in admins (tnlrelay --set-admin-password NAME)']]) {
        const closed = await Relay.start({ cleanups, env, ...start });
        assert.ok(closed.logLines().includes('ERROR admin: not opened to other machines: adminHost ' +
                                             `127.0.0.2 needs ${why}; the admin port listens on ` +
                                             '127.0.0.1 only'), `${what}: ${closed.logText()}`);
        assert.ok(closed.logLines().some((l) => l.endsWith(`admin http://127.0.0.1:${closed.adminPort}`)), what);
    }
});

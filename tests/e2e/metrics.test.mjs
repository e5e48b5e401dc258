// The relay's own monitoring against the running binary: every counter family moves exactly
// once per event (never zero times, never twice), the gauges follow the tables, the health
// checks of both ports, and the one-second history behind the admin page's charts.
import { test, before } from 'node:test';
import assert from 'node:assert/strict';
import { Relay, cleanupAfter, rawExchange, upgradeRequest, waitFor } from './lib/harness.mjs';
import { scrape } from './lib/metrics.mjs';

const cleanups = cleanupAfter();
let relay;
before(async () => (relay = await Relay.start({ cleanups })));

/** The change of every series between two scrapes (absent series count as 0). */
function delta(before, after) {
    const d = new Map();
    for (const [name, value] of after) d.set(name, value - (before.get(name) ?? 0));
    return d;
}

/** Scrapes until `series` has moved by `expected` from `base`, then returns the scrape. */
async function scrapeWhen(base, series, expected) {
    let last;
    await waitFor(async () => {
        last = await scrape(relay);
        return (last.get(series) ?? 0) - (base.get(series) ?? 0) === expected;
    }, `${series} to move by ${expected}`).catch((e) => {
        throw new Error(`${e.message}; it moved by ${(last.get(series) ?? 0) - (base.get(series) ?? 0)}`);
    });
    return last;
}


test('every counter moves once per event, and the gauges follow the tables', async () => {
    const start = await scrape(relay);
    const linesAtStart = relay.logLines().length;

    // Three players; a capacity of two puts the third into the room's second instance.
    const a = await relay.join({ room: 'P_m', player: 'a', max: '2' });
    const b = await relay.join({ room: 'P_m', player: 'b', max: '2' });
    const c = await relay.join({ room: 'P_m', player: 'c', max: '2' });
    let now = await scrapeWhen(start, 'tnlrelay_joins_total', 3);
    assert.equal(now.get('tnlrelay_players'), 3);
    assert.equal(now.get('tnlrelay_rooms'), 1, 'instances of one name are one room');
    assert.equal(now.get('tnlrelay_room_instances'), 2);
    assert.equal(now.get('tnlrelay_open_connections{kind="websocket"}'), 3);

    // Five messages of ten bytes from a reach b only; c is in the other instance.
    for (let i = 0; i < 5; i++) a.send(`message-${i}`.padEnd(10, '.'));
    await waitFor(() => b.received.length === 5, 'b to receive five messages');
    now = await scrapeWhen(start, 'tnlrelay_messages_relayed_total', 5);
    let d = delta(start, now);
    assert.equal(d.get('tnlrelay_messages_received_total'), 5);
    assert.equal(d.get('tnlrelay_received_bytes_total'), 50);
    assert.equal(d.get('tnlrelay_relayed_bytes_total'), 50);
    assert.equal(c.received.length, 0);

    // Refusals, one of each that the game port answers itself.
    assert.equal((await relay.get('/')).status, 426);
    await assert.rejects(relay.join({ name: 'no room' }), /status 400/);
    const bigHeader = `GET / HTTP/1.1\r\nHost: x\r\nX-Big: ${'a'.repeat(17000)}\r\n\r\n`;
    assert.match((await rawExchange(relay.port, bigHeader)).data.toString(), /^HTTP\/1.1 431 /);

    // Moderation: a kick, a ban of the players' address (which closes them), a refused join
    // from it, an unban, and an unban of nothing.
    const cId = (await relay.state()).players.find((p) => p.guid === 'c').connId;
    assert.equal((await relay.post('/api/kick', { connId: cId })).status, 200);
    await c.closedPromise;
    await relay.post('/api/kick', { connId: 999999 });
    assert.equal((await relay.post('/api/ban', { ip: '127.0.0.1', name: 'all' })).status, 200);
    await Promise.all([a.closedPromise, b.closedPromise]);
    await assert.rejects(relay.join({ room: 'P_m' }), /status 403/);
    now = await scrapeWhen(start, 'tnlrelay_leaves_total', 3);
    assert.equal(now.get('tnlrelay_banned_addresses'), 1);
    assert.equal((await relay.post('/api/unban', { ip: '127.0.0.1' })).status, 200);
    await relay.post('/api/unban', { ip: '127.0.0.1' });

    await waitFor(async () => {
        now = await scrape(relay);
        return now.get('tnlrelay_players') === 0 &&
               now.get('tnlrelay_open_connections{kind="websocket"}') === 0;
    }, 'every player to be gone');
    d = delta(start, now);
    const expected = {
        tnlrelay_joins_total: 3,
        tnlrelay_leaves_total: 3,
        'tnlrelay_refusals_total{reason="banned"}': 1,
        'tnlrelay_refusals_total{reason="missing_room"}': 1,
        'tnlrelay_refusals_total{reason="not_websocket"}': 1,
        'tnlrelay_refusals_total{reason="limits"}': 1,
        tnlrelay_messages_received_total: 5,
        tnlrelay_messages_relayed_total: 5,
        tnlrelay_kicks_total: 1,
        tnlrelay_bans_total: 1,
        tnlrelay_unbans_total: 1,
        tnlrelay_banned_addresses: 0,
        tnlrelay_rooms: 0,
        tnlrelay_room_instances: 0,
        tnlrelay_protocol_errors_total: 0,
        tnlrelay_too_big_closes_total: 0,
        tnlrelay_slow_readers_cut_total: 0,
        tnlrelay_silent_peers_closed_total: 0,
        tnlrelay_config_save_failures_total: 0,
        tnlrelay_log_lines_failed_total: 0,
    };
    for (const [series, value] of Object.entries(expected))
        assert.equal(now.get(series), (start.get(series) ?? 0) + value, series);
    assert.equal(d.get('tnlrelay_log_lines_written_total'), relay.logLines().length - linesAtStart,
                 'one count per line in relay.log');
    assert.ok(now.get('tnlrelay_loop_turn_seconds_count') > start.get('tnlrelay_loop_turn_seconds_count'));
    assert.equal(now.get('tnlrelay_loop_turn_seconds_bucket{le="+Inf"}'),
                 now.get('tnlrelay_loop_turn_seconds_count'));
});

test('the protocol error and too-big closes are counted by their status', async () => {
    const start = await scrape(relay);
    const badOpcode = Buffer.from([0x83, 0x80, 1, 2, 3, 4]); // opcode 3 is reserved
    const tooBig = Buffer.from([0x82, 0xFF, 0, 0, 0, 0, 0x20, 0, 0, 0, 1, 2, 3, 4]); // 512 MiB
    for (const frame of [badOpcode, tooBig])
        await rawExchange(relay.port, Buffer.concat([Buffer.from(upgradeRequest('/?room=P_x')), frame]));
    const now = await scrapeWhen(start, 'tnlrelay_leaves_total', 2);
    const d = delta(start, now);
    assert.equal(d.get('tnlrelay_protocol_errors_total'), 1);
    assert.equal(d.get('tnlrelay_too_big_closes_total'), 1);
});

test('health checks, the scrape format, and the admin port\'s origin rules', async () => {
    const game = await relay.get('/healthz');
    assert.equal(game.status, 200);
    assert.equal(game.text, 'ok\n');
    const admin = await relay.get('/healthz', { admin: true });
    assert.equal(admin.status, 200);
    const health = JSON.parse(admin.text);
    assert.equal(health.status, 'ok');
    assert.ok(health.uptimeSeconds > 0 && health.uptimeSeconds < 600, admin.text);
    assert.ok(health.loopLagSeconds >= 0 && health.loopLagSeconds < 1, admin.text);

    const metrics = await relay.get('/metrics', { admin: true });
    assert.equal(metrics.headers.get('content-type'), 'text/plain; version=0.0.4; charset=utf-8');
    for (const line of metrics.text.trimEnd().split('\n')) {
        assert.match(line, /^(# (HELP|TYPE) (tnlrelay|process)_\w+ .+|(tnlrelay|process)_\w+(\{\w+="[^"]*"(,\w+="[^"]*")*\})? \S+)$/,
                     'every line is a comment or a sample of a tnlrelay_ or process_ series');
    }
    const start = (await scrape(relay)).get('tnlrelay_process_start_time_seconds');
    assert.ok(Math.abs(Date.now() / 1000 - health.uptimeSeconds - start) < 5,
              'the start time and the uptime agree');

    for (const headers of [{ Origin: 'http://evil.example' }, { Host: 'evil.example' }]) {
        const res = await rawExchange(relay.adminPort,
            `GET /metrics HTTP/1.1\r\nHost: ${headers.Host ?? `127.0.0.1:${relay.adminPort}`}\r\n` +
            (headers.Origin ? `Origin: ${headers.Origin}\r\n` : '') + 'Connection: close\r\n\r\n');
        assert.match(res.data.toString(), /^HTTP\/1.1 403 /, JSON.stringify(headers));
    }
});

test('the history has one sample a second that adds up to the counters', async () => {
    const base = await scrape(relay);
    const a = await relay.join({ room: 'P_h', player: 'a' });
    const b = await relay.join({ room: 'P_h', player: 'b' });
    for (let i = 0; i < 7; i++) a.send('0123456789');
    await waitFor(() => b.received.length === 7, 'b to receive');
    const relayed = (await scrapeWhen(base, 'tnlrelay_messages_relayed_total', 7))
        .get('tnlrelay_messages_relayed_total');
    let stats;
    await waitFor(async () => {
        stats = JSON.parse((await relay.get('/api/stats', { admin: true })).text);
        const sum = stats.messagesOut.reduce((x, y) => x + y, 0);
        return sum === relayed && stats.players.at(-1) === 2;
    }, 'the samples to add up to the relayed messages');
    assert.equal(stats.interval, 1);
    assert.equal(stats.bytesOut.reduce((x, y) => x + y, 0), stats.totals.bytesOut);
    for (const column of ['players', 'messagesIn', 'messagesOut', 'bytesIn', 'bytesOut', 'loopLag'])
        assert.equal(stats[column].length, stats.time.length, column);
    for (let i = 1; i < stats.time.length; i++)
        assert.ok(stats.time[i] >= stats.time[i - 1], 'samples in time order');
    a.close();
    b.close();
});

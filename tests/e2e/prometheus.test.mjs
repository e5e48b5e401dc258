// A real Prometheus server (Debian's package), started on a free loopback port with a scrape
// interval of one second, scrapes the relay's admin port; after joins and traffic its query API
// returns the counts the test made; promtool finds nothing to lint in what it scrapes.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { Relay, cleanupAfter, freePort, startProgram, tempDir, waitFor } from './lib/harness.mjs';

const PROMETHEUS = '/usr/bin/prometheus';
const PROMTOOL = '/usr/bin/promtool';
const cleanups = cleanupAfter();

/** Starts Prometheus scraping `target` every second; resolves with its base URL once ready. */
async function startPrometheus(target) {
    const dir = tempDir(cleanups, 'prometheus');
    fs.writeFileSync(path.join(dir, 'prometheus.yml'),
        'global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n' +
        `scrape_configs:\n  - job_name: tnlrelay\n    static_configs:\n      - targets: ['${target}']\n`);
    const port = await freePort();
    const base = `http://127.0.0.1:${port}`;
    await startProgram(cleanups, PROMETHEUS, [
        `--config.file=${path.join(dir, 'prometheus.yml')}`,
        `--storage.tsdb.path=${path.join(dir, 'data')}`,
        `--web.listen-address=127.0.0.1:${port}`,
        '--log.level=warn',
    ], { ready: async () => (await fetch(`${base}/-/ready`)).ok, timeoutMs: 30000 });
    return base;
}

/** The value of an instant query that returns one series, or undefined. */
async function query(base, expr) {
    const res = await fetch(`${base}/api/v1/query?query=${encodeURIComponent(expr)}`);
    const body = await res.json();
    if (body.status !== 'success') throw new Error(`${expr}: ${JSON.stringify(body)}`);
    const result = body.data.result;
    return result.length === 1 ? Number(result[0].value[1]) : undefined;
}

test('Prometheus scrapes the relay and its queries return the counts',
     { skip: !fs.existsSync(PROMETHEUS) && 'prometheus is not installed (Debian package prometheus)' },
     async () => {
    const relay = await Relay.start({ cleanups });
    const base = await startPrometheus(`127.0.0.1:${relay.adminPort}`);
    await waitFor(async () => (await query(base, 'up{job="tnlrelay"}')) === 1,
                  'the first successful scrape', 20000);

    const a = await relay.join({ room: 'P_prom', player: 'a' });
    const b = await relay.join({ room: 'P_prom', player: 'b' });
    const c = await relay.join({ room: 'P_prom', player: 'c' });
    for (let i = 0; i < 4; i++) a.send('hello-prometheus'); // 16 bytes to two receivers each
    await waitFor(() => b.received.length === 4 && c.received.length === 4, 'the deliveries');
    c.close();
    await c.closedPromise;
    await relay.get('/'); // refused: not a WebSocket

    const expected = {
        'tnlrelay_players': 2,
        'tnlrelay_joins_total': 3,
        'tnlrelay_leaves_total': 1,
        'tnlrelay_messages_received_total': 4,
        'tnlrelay_received_bytes_total': 64,
        'tnlrelay_messages_relayed_total': 8,
        'tnlrelay_relayed_bytes_total': 128,
        'tnlrelay_refusals_total{reason="not_websocket"}': 1,
        'tnlrelay_room_instances': 1,
        'sum(tnlrelay_open_connections{kind="websocket"})': 2,
    };
    let last = {};
    await waitFor(async () => {
        for (const expr of Object.keys(expected)) last[expr] = await query(base, expr);
        return Object.keys(expected).every((expr) => last[expr] === expected[expr]);
    }, 'Prometheus to report the counts', 20000).catch((e) => {
        throw new Error(`${e.message}\nexpected ${JSON.stringify(expected)}\ngot      ${JSON.stringify(last)}`);
    });

    // The loop's turn histogram is usable as it is meant to be: a quantile over a window.
    const p99 = await query(base,
        'histogram_quantile(0.99, sum by (le) (rate(tnlrelay_loop_turn_seconds_bucket[30s])))');
    assert.ok(p99 === undefined || (p99 >= 0 && p99 < 1) || Number.isNaN(p99), `p99 ${p99}`);
    const start = await query(base, 'tnlrelay_process_start_time_seconds');
    assert.ok(Math.abs(start - Date.now() / 1000) < 120, `start time ${start}`);
    // The process families under the names every client library uses.
    assert.ok(Math.abs((await query(base, 'process_start_time_seconds')) - start) < 2);
    assert.ok((await query(base, 'process_open_fds')) < (await query(base, 'process_max_fds')));

    const lint = spawnSync(PROMTOOL, ['check', 'metrics'],
                           { input: (await relay.get('/metrics', { admin: true })).text, encoding: 'utf8' });
    assert.equal(lint.status, 0, `promtool: ${lint.stdout}${lint.stderr}`);
    assert.equal(lint.stdout + lint.stderr, '', 'promtool finds nothing to lint');
    a.close();
    b.close();
});

// Turns the JSON lines of `scripts/bench --scenarios crowd` into the published tables: the crowd
// at each size, what a straight line through the sizes gives for a million players, and the TLS
// storm. Usage: node bench/crowd-report.mjs raw.jsonl
import { readFileSync } from 'node:fs';

const runs = readFileSync(process.argv[2], 'utf8').split('\n').filter((l) => l.trim()).flatMap(
    (l) => {
        try {
            return [JSON.parse(l)];
        } catch {
            return []; // a line cut short by a crash
        }
    });
const crowd = runs.filter((r) => r.scenario === 'crowd').sort((a, b) => a.clients - b.clients);
const storm = runs.find((r) => r.scenario === 'storm');

const n = (v, digits = 0) => (typeof v === 'number' && Number.isFinite(v)
    ? v.toLocaleString('en-US', { minimumFractionDigits: digits, maximumFractionDigits: digits })
    : '–');
const kb = (bytes, digits = 1) => (typeof bytes === 'number' ? `${n(bytes / 1024, digits)} KB` : '–');

// Least squares through (players, value): the cost of one more player, and of none.
const fit = (key, scale = 1) => {
    const pts = crowd.filter((r) => typeof r[key] === 'number').map((r) => [r.clients, r[key] * scale]);
    if (pts.length < 2) return null;
    const mx = pts.reduce((s, p) => s + p[0], 0) / pts.length;
    const my = pts.reduce((s, p) => s + p[1], 0) / pts.length;
    const sxx = pts.reduce((s, p) => s + (p[0] - mx) ** 2, 0);
    const slope = pts.reduce((s, p) => s + (p[0] - mx) * (p[1] - my), 0) / sxx;
    return { slope, at: (x) => my + slope * (x - mx) };
};

if (crowd.length) {
    console.log('| players | join (s) | relay CPU a join | memory a player | kernel a player | CPU at rest | chat p50 / p99 | `/rooms` | `/api/state` | `/metrics` | stop (s) | LEAVE lines | ok |');
    console.log('|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|:-:|');
    for (const r of crowd) {
        console.log(`| ${n(r.clients)} | ${n(r.join_s, 2)} | ${n(r.join_cpu_us, 1)} µs | ${n(r.rss_per_conn_b)} B | ${n(r.kernel_slab_per_conn_b)} B | ` +
            `${n(r.rest_cpu * 100, 2)} % | ${n(r.lat_p50_us / 1000, 2)} / ${n(r.lat_p99_us / 1000, 1)} ms | ` +
            `${n(r.rooms_ms, 1)} ms, ${kb(r.rooms_bytes, 0)} | ${n(r.state_ms, 0)} ms, ${kb(r.state_bytes, 0)} | ` +
            `${n(r.metrics_ms, 1)} ms, ${kb(r.metrics_bytes)} | ${n(r.stop_s, 2)} | ${n(r.leave_lines)} | ` +
            `${r.ok && r.leave_lines === r.clients ? 'yes' : 'NO'} |`);
    }
    const million = 1e6;
    const rss = fit('rss_after_kb', 1024);
    const rest = fit('rest_cpu');
    const stop = fit('stop_s');
    const state = fit('state_bytes');
    console.log();
    console.log('A straight line through the sizes above, at 1,000,000 players:');
    console.log();
    console.log('| | per player | at 1,000,000 |');
    console.log('|---|---:|---:|');
    if (rss) console.log(`| relay's resident memory | ${n(rss.slope)} B | ${n(rss.at(million) / 2 ** 30, 2)} GiB |`);
    const slab = crowd.at(-1)?.kernel_slab_per_conn_b;
    if (typeof slab === 'number') console.log(`| kernel (socket and its file) | ${n(slab)} B | ${n(slab * million / 2 ** 30, 2)} GiB |`);
    if (rest) console.log(`| CPU at rest | ${n(rest.slope * 1e9, 1)} ns/s | ${n(Math.max(0, rest.at(million)) * 100, 1)} % of a core |`);
    const joinEach = crowd.at(-1)?.join_cpu_us;
    if (typeof joinEach === 'number') console.log(`| joining all: the relay's processor time | ${n(joinEach, 1)} µs | ${n(joinEach, 0)} s |`);
    if (stop) console.log(`| stopping | ${n(stop.slope * 1e6, 1)} µs | ${n(stop.at(million), 0)} s |`);
    if (state) console.log(`| \`/api/state\` | ${n(state.slope)} B | ${n(state.at(million) / 2 ** 20, 0)} MB |`);
}

if (storm) {
    console.log();
    console.log('| TLS storm | players | wall time (s) | joins a second | relay CPU a join | joins per relay CPU-second | resumed | ok |');
    console.log('|---|---:|---:|---:|---:|---:|---:|:-:|');
    console.log(`| all join (full handshakes) | ${n(storm.clients)} | ${n(storm.join_s, 2)} | ${n(storm.clients / storm.join_s)} | ` +
        `${n(storm.join_cpu_us)} µs | ${n(storm.joins_per_server_cpu_s)} | – | ${storm.ok ? 'yes' : 'NO'} |`);
    console.log(`| all join again (resumed) | ${n(storm.clients)} | ${n(storm.rejoin_s, 2)} | ${n(storm.rejoins_per_s)} | ` +
        `${n(storm.rejoin_cpu_us)} µs | ${n(storm.rejoins_per_server_cpu_s)} | ${n(storm.resumed)} | ${storm.ok ? 'yes' : 'NO'} |`);
}

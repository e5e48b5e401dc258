// Turns the JSON lines of a benchmark run into the published tables: medians per server and
// scenario, each server's ratio to the bare C relay measured in the same run, and the system
// calls each made per delivered message.
// Usage: node bench/report.mjs raw.jsonl
import { readFileSync } from 'node:fs';

const lines = readFileSync(process.argv[2], 'utf8').split('\n').filter((l) => l.trim());
const runs = [];
for (const line of lines) {
    try {
        runs.push(JSON.parse(line));
    } catch {
        // a line cut short by a crash: it counts as a failed run below
    }
}

const median = (xs) => {
    const v = xs.filter((x) => typeof x === 'number' && Number.isFinite(x)).sort((a, b) => a - b);
    if (!v.length) return null;
    const m = Math.floor(v.length / 2);
    return v.length % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
};

// The bare C relay is the physical-limit line: every ratio is to it, and so are the targets.
const reference = 'c';
const order = ['tnlrelay', 'c', 'node', 'go'];
const rank = (s) => (order.includes(s) ? order.indexOf(s) : order.length);
// Variants of tnlrelay run in one scenario only ("tnlrelay@flush2000") get a table of their own.
const servers = [...new Set(runs.map((r) => r.server))].filter((s) => !s.includes('@')).sort(
    (a, b) => rank(a) - rank(b) || a.localeCompare(b));
const variants = [...new Set(runs.map((r) => r.server))].filter((s) => s.includes('@')).sort(
    (a, b) => a.localeCompare(b, 'en', { numeric: true }));
const scenarioOrder = ['chat', 'broadcast', 'medium', 'bulk', 'bulk-oneway', 'latency', 'tick', 'idle'];
const scenarios = scenarioOrder.filter((s) => runs.some((r) => r.scenario === s));
// Runs under perf count system calls; the others, free of its cost per call, are the timed ones.
const pick = (server, scenario, counted = false) => runs.filter((r) =>
    r.server === server && r.scenario === scenario && !!r.syscalls_by_perf === counted);
const med = (server, scenario, key) => median(pick(server, scenario).map((r) => r[key]));
const medAll = (server, scenario, key) => median(runs.filter((r) =>
    r.server === server && r.scenario === scenario).map((r) => r[key]));

// What each scenario publishes, and the target of tnlrelay's ratio to the C relay.
const metrics = {
    chat: [
        ['msgs_per_s', 'delivered msgs/s', '>= 1.2'],
        ['msgs_per_server_cpu_s', 'msgs per server CPU-second', ''],
    ],
    broadcast: [
        ['msgs_per_s', 'delivered msgs/s', '>= 1.2'],
        ['msgs_per_server_cpu_s', 'msgs per server CPU-second', ''],
    ],
    medium: [
        ['msgs_per_s', 'delivered msgs/s', '>= 1.2'],
        ['msgs_per_server_cpu_s', 'msgs per server CPU-second', ''],
    ],
    bulk: [['bytes_per_s', 'delivered MB/s, both sending', '>= 1.2 (and >= 2.5 x node)']],
    'bulk-oneway': [['bytes_per_s', 'delivered MB/s, one sending', '']],
    latency: [
        ['lat_p50_us', 'p50 µs', ''],
        ['lat_p99_us', 'p99 µs', '<= 0.6'],
        ['server_cpu', 'server CPU (cores)', ''],
    ],
    tick: [
        ['server_cpu', 'server CPU (cores)', '<= 0.9'],
        ['lat_p50_us', 'p50 µs', ''],
        ['lat_p99_us', 'p99 µs', '<= 1.0'],
    ],
    idle: [
        ['rss_per_conn_b', 'server bytes/connection', '<= 700 B'],
        ['join_s', 'join 10,000 (s)', '<= 1.1'],
    ],
};

const fmt = (key, v) => {
    if (v === null) return 'n/a';
    if (key === 'bytes_per_s') return (v / 1e6).toFixed(1);
    if (key === 'server_cpu' || key === 'join_s') return v.toFixed(2);
    if (Math.abs(v) >= 1000) return Math.round(v).toLocaleString('en-US');
    return v.toFixed(v < 10 ? 2 : 0);
};
const ratio = (a, b) => (a === null || b === null || b === 0 ? 'n/a' : (a / b).toFixed(2));

const out = [];
const head = ['scenario', 'measure', ...servers];
const compared = servers.includes(reference) ? servers.filter((s) => s !== reference) : [];
head.push(...compared.map((s) => `${s} / ${reference}`));
if (servers.includes('tnlrelay') && servers.includes('node')) head.push('tnlrelay / node');
head.push(`target (tnlrelay / ${reference})`);
out.push(`| ${head.join(' | ')} |`, `|${head.map(() => '---').join('|')}|`);
for (const scenario of scenarios) {
    for (const [key, label, target] of metrics[scenario]) {
        const row = [scenario, label];
        for (const s of servers) row.push(fmt(key, med(s, scenario, key)));
        for (const s of compared) row.push(ratio(med(s, scenario, key), med(reference, scenario, key)));
        if (servers.includes('tnlrelay') && servers.includes('node'))
            row.push(ratio(med('tnlrelay', scenario, key), med('node', scenario, key)));
        row.push(target);
        out.push(`| ${row.join(' | ')} |`);
    }
}

// System calls per delivered message, medians over the runs of a scenario and server.
const perMsg = (v) => (v === null ? 'n/a' : v >= 1 ? v.toFixed(2) : v === 0 ? '0' : v.toPrecision(2));
const calls = [
    ['sc_read_per_msg', 'reads'],
    ['sc_write_per_msg', 'writes'],
    ['sc_epoll_wait_per_msg', 'epoll_wait'],
    ['sc_epoll_ctl_per_msg', 'epoll_ctl'],
    ['sc_all_per_msg', 'all calls'],
    ['syscr_per_msg', 'syscr'],
    ['syscw_per_msg', 'syscw'],
];
out.push('', 'System calls per delivered message (perf tracepoints; syscr and syscw from /proc/PID/io,'
    + ' which leave out recvmsg and sendmsg), and deliveries per write call:', '');
const head3 = ['scenario', 'server', ...calls.map(([, label]) => label), 'msgs/write'];
out.push(`| ${head3.join(' | ')} |`, `|${head3.map(() => '---').join('|')}|`);
for (const scenario of scenarios.filter((s) => s !== 'idle')) {
    for (const s of servers) {
        if (!pick(s, scenario).length && !pick(s, scenario, true).length) continue;
        const row = [scenario, s, ...calls.map(([key]) => perMsg(medAll(s, scenario, key)))];
        const w = median(pick(s, scenario, true).map((r) => r.msgs_per_write))
            ?? medAll(s, scenario, 'msgs_per_write');
        row.push(w === null ? 'n/a' : w.toFixed(1));
        out.push(`| ${row.join(' | ')} |`);
    }
}

if (variants.length) {
    out.push('', 'tnlrelay with outgoing frames coalesced for a while (config.json flushIntervalMicros):', '');
    const head4 = ['scenario', 'server', 'server CPU (cores)', 'p50 µs', 'p99 µs', 'all calls/msg',
        'CPU / tnlrelay', 'CPU / c'];
    out.push(`| ${head4.join(' | ')} |`, `|${head4.map(() => '---').join('|')}|`);
    for (const scenario of scenarioOrder) {
        for (const s of ['tnlrelay', ...variants]) {
            if (!pick(s, scenario).length || !variants.some((v) => pick(v, scenario).length)) continue;
            const cpu = med(s, scenario, 'server_cpu');
            out.push(`| ${[scenario, s, fmt('server_cpu', cpu), fmt('lat_p50_us', med(s, scenario, 'lat_p50_us')),
                fmt('lat_p99_us', med(s, scenario, 'lat_p99_us')), perMsg(medAll(s, scenario, 'sc_all_per_msg')),
                ratio(cpu, med('tnlrelay', scenario, 'server_cpu')),
                ratio(cpu, med(reference, scenario, 'server_cpu'))].join(' | ')} |`);
        }
    }
}

out.push('', 'Processor use during the load (cores; server pinned to one, generator to the other):', '');
const head2 = ['scenario', ...servers.flatMap((s) => [`${s} server`, `${s} generator`]), 'runs clean'];
out.push(`| ${head2.join(' | ')} |`, `|${head2.map(() => '---').join('|')}|`);
let failures = 0;
for (const scenario of scenarios) {
    const row = [scenario];
    for (const s of servers) {
        row.push(fmt('server_cpu', med(s, scenario, 'server_cpu')));
        row.push(fmt('server_cpu', med(s, scenario, 'gen_cpu')));
    }
    const all = runs.filter((r) => r.scenario === scenario);  // variants included
    const clean = all.filter((r) => r.ok === true).length;
    failures += all.length - clean;
    row.push(`${clean}/${all.length}`);
    out.push(`| ${row.join(' | ')} |`);
}
failures += lines.length - runs.length;
if (!runs.length) out.push('', 'No run produced a result.');
console.log(out.join('\n'));
if (failures) {
    console.log(`\n${failures} run(s) reported lost, reordered or corrupted deliveries or failed;`
        + ' see the raw lines.');
}

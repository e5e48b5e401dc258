// Chat load for a relay made of several nodes: rooms whose members are spread over the nodes'
// game ports in turn, every member sending in a closed loop (the next message leaves when the
// member after it in the room has received the previous one, a few at once). Prints one JSON
// line: messages delivered per second over the timed part, each given process's processor use
// over the same time, and the processor time per delivered message of all of them and of those
// whose name begins with "redis". Usage:
//   node cluster-load.mjs --ports 21000,21010 --pids 1,2,3 --names a,b,redis [--rooms 50]
//                         [--members 6] [--size 64] [--window 4] [--duration 5]
import fs from 'node:fs';
import WebSocket from 'ws';

const arg = (name, fallback) => {
    const i = process.argv.indexOf(`--${name}`);
    return i > 0 ? process.argv[i + 1] : fallback;
};
const ports = arg('ports').split(',').map(Number);
const pids = (arg('pids', '') || '').split(',').filter(Boolean).map(Number);
const names = (arg('names', '') || '').split(',').filter(Boolean);
const rooms = Number(arg('rooms', 50));
const members = Number(arg('members', 6));
const size = Number(arg('size', 64));
const window = Number(arg('window', 4));
const duration = Number(arg('duration', 5));

const ticks = Number(process.env.CLK_TCK || 100);
function cpuSeconds(pid) {
    const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
    return (Number(fields[11]) + Number(fields[12])) / ticks; // utime + stime
}

function join(port, room, i) {
    return new Promise((resolve, reject) => {
        const ws = new WebSocket(`ws://127.0.0.1:${port}/?room=${room}&name=m${i}&max=${members}`,
            { perMessageDeflate: false });
        ws.binaryType = 'nodebuffer';
        ws.once('open', () => resolve(ws));
        ws.once('error', reject);
    });
}

let delivered = 0;
let measuring = false;
let running = true;
const all = [];
for (let r = 0; r < rooms; r++) {
    const room = [];
    for (let m = 0; m < members; m++) room.push(await join(ports[(r * members + m) % ports.length], `bench${r}`, m));
    all.push(room);
}
// Let the nodes learn which rooms span them before the load starts.
await new Promise((resolve) => setTimeout(resolve, 2500));

const payload = (sender) => {
    const b = Buffer.alloc(Math.max(size, 2), 0x61);
    b[0] = sender;
    return b;
};
const payloads = Array.from({ length: members }, (_, m) => payload(m));
for (const room of all) {
    room.forEach((ws, m) => {
        const prev = (m + room.length - 1) % room.length;
        ws.on('message', (data) => {
            if (measuring) ++delivered;
            // The member before me in the room is heard: it may send its next one.
            if (data[0] === prev && running) room[prev].send(payloads[prev]);
        });
    });
    room.forEach((ws, m) => {
        for (let k = 0; k < window; k++) ws.send(payloads[m]);
    });
}

await new Promise((resolve) => setTimeout(resolve, 1000)); // warm up
const cpu0 = pids.map(cpuSeconds);
const self0 = process.cpuUsage();
const t0 = process.hrtime.bigint();
measuring = true;
await new Promise((resolve) => setTimeout(resolve, duration * 1000));
measuring = false;
const seconds = Number(process.hrtime.bigint() - t0) / 1e9;
const cpu1 = pids.map(cpuSeconds);
const self1 = process.cpuUsage(self0);
running = false;
const cpuSum = (match) => pids.reduce((sum, _, i) =>
    (match(names[i] ?? '') ? sum + cpu1[i] - cpu0[i] : sum), 0);
const perDelivered = (cpuSeconds) => delivered ? +(cpuSeconds / delivered * 1e6).toFixed(2) : null;
const result = {
    rooms, members, size, window, nodes: ports.length, seconds: +seconds.toFixed(2),
    deliveredPerSecond: Math.round(delivered / seconds),
    cpu: Object.fromEntries(pids.map((p, i) => [names[i] ?? String(p),
        +((cpu1[i] - cpu0[i]) / seconds * 100).toFixed(1)])),
    usPerDelivered: perDelivered(cpuSum(() => true)),
    redisUsPerDelivered: perDelivered(cpuSum((name) => name.startsWith('redis'))),
    generatorCpu: +(((self1.user + self1.system) / 1e6) / seconds * 100).toFixed(1),
};
console.log(JSON.stringify(result));
for (const room of all) for (const ws of room) ws.terminate();

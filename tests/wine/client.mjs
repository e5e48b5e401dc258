// What the Wine tests ask of the relay over the network, with Node and the end-to-end tests' ws
// package: relay one message between two WebSocket clients (over wss:// when given the
// certificate to trust), make one HTTP request, or leave the relay output it cannot send.
// Usage: node client.mjs relay PORT [CERT] | node client.mjs http URL [METHOD BODY]
//        | node client.mjs stall PORT
import { readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const require = createRequire(path.join(here, '..', 'e2e', 'package.json'));
const WebSocket = require('ws');

function join(port, name, ca) {
    const query = new URLSearchParams({ room: 'wine_lobby', player: name, name, game: 'wine' });
    // Over TLS the relay must present exactly the given certificate, for 127.0.0.1.
    const ws = ca ? new WebSocket(`wss://127.0.0.1:${port}/?${query}`, { ca })
                  : new WebSocket(`ws://127.0.0.1:${port}/?${query}`);
    ws.received = [];
    ws.on('message', (data) => ws.received.push(data.toString()));
    return new Promise((resolve, reject) => {
        ws.once('open', () => resolve(ws));
        ws.once('error', reject);
    });
}

async function relay(port, certFile) {
    const ca = certFile ? readFileSync(certFile) : undefined;
    const a = await join(port, 'alice', ca);
    const b = await join(port, 'bob', ca);
    const end = Date.now() + 10000;
    a.send('hello from alice');
    while (!b.received.length && Date.now() < end) await new Promise((r) => setTimeout(r, 20));
    b.send('hello from bob');
    while (!a.received.length && Date.now() < end) await new Promise((r) => setTimeout(r, 20));
    a.close();
    b.close();
    if (b.received[0] !== 'hello from alice' || a.received[0] !== 'hello from bob') {
        console.error(`relayed wrongly: bob got ${JSON.stringify(b.received)}, ` +
                      `alice got ${JSON.stringify(a.received)}`);
        return 1;
    }
    return 0;
}

// Bob stops reading while alice sends him 32 MiB, so that the relay holds output for him that it
// cannot flush; prints "stalled" once alice's part has left, then waits to be ended.
async function stall(port) {
    const a = await join(port, 'alice');
    const b = await join(port, 'bob');
    b._socket.pause();
    const message = Buffer.alloc(1 << 20, 0x61);
    for (let i = 0; i < 32; ++i) a.send(message);
    while (a.bufferedAmount > 0) await new Promise((r) => setTimeout(r, 20));
    console.log('stalled');
    await new Promise((r) => setTimeout(r, 60000));
    return 0;
}

async function http(url, method = 'GET', body) {
    try {
        const res = await fetch(url, { method, body, signal: AbortSignal.timeout(5000) });
        console.log(res.status);
        console.log(await res.text());
        return 0;
    } catch (e) {
        console.error(`no answer from ${url}: ${e.message}`);
        return 1;
    }
}

const [verb, ...args] = process.argv.slice(2);
let code = 2;
try {
    if (verb === 'relay') code = await relay(Number(args[0]), args[1]);
    else if (verb === 'http') code = await http(...args);
    else if (verb === 'stall') code = await stall(Number(args[0]));
    else console.error('usage: client.mjs relay PORT [CERT] | http URL [METHOD BODY] | stall PORT');
} catch (e) {
    console.error(e.message);
    code = 1;
}
process.exit(code);

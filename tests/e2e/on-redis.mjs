// Runs end-to-end test files with every relay they start linked to one real redis-server, each
// relay the only node of a cluster of its own: a single node on Redis must behave as a single
// node. Usage: node on-redis.mjs file.test.mjs... The server lives in a temporary directory on a
// free loopback port, without persistence, and is stopped here when the tests end.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { ephemeralPortLow, makeDataRoot, portFree, waitFor } from './lib/harness.mjs';

function ping(port) {
    return new Promise((resolve) => {
        const sock = net.connect(port, '127.0.0.1');
        let text = '';
        sock.on('connect', () => sock.end('PING\r\n'));
        sock.on('data', (d) => (text += d));
        sock.on('error', () => resolve(false));
        sock.on('close', () => resolve(text.startsWith('+PONG')));
    });
}

const files = process.argv.slice(2);
const dir = makeDataRoot();
let port;
const span = ephemeralPortLow() - 1 - 1024;
for (let i = 0; i < 200 && port === undefined; i++) {
    const p = 1024 + Math.floor(Math.random() * span);
    if (await portFree(p, '127.0.0.1')) port = p;
}
const redis = spawn('redis-server', ['--port', String(port), '--bind', '127.0.0.1', '--save', '',
    '--appendonly', 'no', '--dir', dir], { stdio: 'ignore' });
const redisExited = new Promise((resolve) => redis.on('exit', resolve));
let code = 1;
try {
    await waitFor(() => ping(port), `redis-server on port ${port}`);
    console.log(`# relays linked to redis-server 127.0.0.1:${port}: ${files.join(' ')}`);
    const tests = spawn(process.execPath, ['--test', ...files], {
        stdio: 'inherit',
        env: { ...process.env, TNLRELAY_TEST_REDIS: `127.0.0.1:${port}` },
    });
    code = await new Promise((resolve) => tests.on('exit', (c, signal) => resolve(signal ? 1 : c)));
} finally {
    if (redis.exitCode === null && redis.signalCode === null) redis.kill('SIGTERM');
    await redisExited;
    fs.rmSync(dir, { recursive: true, force: true });
}
process.exit(code);

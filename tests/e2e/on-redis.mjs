// Runs end-to-end test files with every relay they start linked to one real redis-server, each
// relay the only node of a cluster of its own: a single node on Redis must behave as a single
// node. Usage: node on-redis.mjs file.test.mjs... The server lives in a temporary directory on a
// free loopback port, without persistence, and is stopped here when the tests end.
import { spawn } from 'node:child_process';
import { runCleanups, startRedis } from './lib/harness.mjs';

const files = process.argv.slice(2);
const cleanups = [];
let code = 1;
try {
    const { port } = await startRedis(cleanups);
    console.log(`# relays linked to redis-server 127.0.0.1:${port}: ${files.join(' ')}`);
    const tests = spawn(process.execPath, ['--test', ...files], {
        stdio: 'inherit',
        env: { ...process.env, TNLRELAY_TEST_REDIS: `127.0.0.1:${port}` },
    });
    code = await new Promise((resolve) => tests.on('exit', (c, signal) => resolve(signal ? 1 : c)));
} finally {
    await runCleanups(cleanups);
}
process.exit(code);

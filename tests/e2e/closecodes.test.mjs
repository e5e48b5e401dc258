// Close codes as an independent WebSocket client sees them: the relay's answers to protocol
// violations (1002) and to messages over the size limit (1009), and to a client's own close.
import assert from 'node:assert/strict';
import { before, test } from 'node:test';
import { Relay, cleanupAfter } from './lib/harness.mjs';

const cleanups = cleanupAfter();
let relay;
before(async () => (relay = await Relay.start({ cleanups, stopsCleanly: true })));

/** A masked frame header announcing `length` payload bytes (the bytes themselves may follow). */
function frameHeader(firstByte, length) {
    const head = Buffer.alloc(14);
    head[0] = firstByte;
    let at = 2;
    if (length < 126) {
        head[1] = 0x80 | length;
    } else if (length <= 0xffff) {
        head[1] = 0x80 | 126;
        head.writeUInt16BE(length, 2);
        at = 4;
    } else {
        head[1] = 0x80 | 127;
        head.writeBigUInt64BE(BigInt(length), 2);
        at = 10;
    }
    return head.subarray(0, at + 4); // a zero mask: the payload goes as it is
}

/** Joins, writes `bytes` under the client's own framing, and resolves with the close code. */
async function closeCodeAfter(bytes, player) {
    const ws = await relay.join({ room: 'codes', player });
    ws._socket.write(bytes);
    return ws.closedPromise;
}

test('protocol violations are closed with 1002', async () => {
    const cases = {
        'a reserved bit': Buffer.concat([frameHeader(0x80 | 0x40 | 2, 1), Buffer.from('x')]),
        'an unknown opcode': Buffer.concat([frameHeader(0x80 | 3, 1), Buffer.from('x')]),
        'a fragmented ping': Buffer.concat([frameHeader(0x09, 1), Buffer.from('p')]),
        'a continuation without a start': Buffer.concat([frameHeader(0x80, 1), Buffer.from('c')]),
    };
    for (const [what, bytes] of Object.entries(cases))
        assert.equal(await closeCodeAfter(bytes, `p-${what.length}`), 1002, what);
});

test('a message over 268435456 bytes is closed with 1009, also while the client sends on', async () => {
    // Refused from its header alone.
    assert.equal(await closeCodeAfter(frameHeader(0x82, 268435457), 'big-one'), 1009);
    // The client goes on sending the announced bytes: the close frame still reaches it whole.
    const ws = await relay.join({ room: 'codes', player: 'big-two' });
    const chunk = Buffer.alloc(256 * 1024, 7);
    ws._socket.write(frameHeader(0x82, 268435457));
    const pump = setInterval(() => {
        if (ws._socket.writable && ws._socket.writableLength < 4 << 20) ws._socket.write(chunk);
    }, 1);
    const code = await ws.closedPromise;
    clearInterval(pump);
    assert.equal(code, 1009);
});

test("a client's own close code comes back", async () => {
    for (const code of [1000, 1001, 4000, 4999]) {
        const ws = await relay.join({ room: 'codes', player: `own-${code}` });
        ws.close(code, 'bye');
        assert.equal(await ws.closedPromise, code);
    }
});

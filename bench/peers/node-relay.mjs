// The relay a developer would write in an afternoon on Node's ws package: join a room by the
// "room" query variable, copy every message to the other members. The benchmark's yardstick.
// Usage: node node-relay.mjs <port> [host] [--tls CERT KEY]   (--tls: wss:// through Node's https
// server)
import { readFileSync } from 'node:fs';
import https from 'node:https';
import { WebSocketServer } from 'ws';

const args = process.argv.slice(2);
const tlsAt = args.indexOf('--tls');
const tls = tlsAt >= 0 ? args.splice(tlsAt, 3).slice(1) : null;
const port = Number(args[0] || 49200);
const host = args[1] || '127.0.0.1';
const rooms = new Map();

const maxPayload = 256 * 1024 * 1024;
const listening = () => console.log(`node relay listening on ${host}:${port}${tls ? ' (TLS)' : ''}`);
let wss;
if (tls) {
    const server = https.createServer({ cert: readFileSync(tls[0]), key: readFileSync(tls[1]) });
    wss = new WebSocketServer({ server, maxPayload });
    server.listen(port, host, listening);
} else {
    wss = new WebSocketServer({ port, host, maxPayload });
    wss.on('listening', listening);
}

wss.on('connection', (ws, req) => {
    const room = new URL(req.url, 'http://relay').searchParams.get('room');
    if (!room) {
        ws.close(1008, 'missing room');
        return;
    }
    let members = rooms.get(room);
    if (!members) {
        members = new Set();
        rooms.set(room, members);
    }
    members.add(ws);

    ws.on('message', (data, isBinary) => {
        for (const peer of members) {
            if (peer !== ws && peer.readyState === peer.OPEN) peer.send(data, { binary: isBinary });
        }
    });
    ws.on('close', () => {
        members.delete(ws);
        if (members.size === 0) rooms.delete(room);
    });
    ws.on('error', () => {});
});

process.on('SIGTERM', () => process.exit(0));
process.on('SIGINT', () => process.exit(0));

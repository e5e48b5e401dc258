// The relay a developer would write in an afternoon on Node's ws package: join a room by the
// "room" query variable, copy every message to the other members. The benchmark's yardstick.
// Usage: node node-relay.mjs <port> [host]
import { WebSocketServer } from 'ws';

const port = Number(process.argv[2] || 49200);
const host = process.argv[3] || '127.0.0.1';
const rooms = new Map();

const wss = new WebSocketServer({ port, host, maxPayload: 256 * 1024 * 1024 });

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

wss.on('listening', () => console.log(`node relay listening on ${host}:${port}`));
process.on('SIGTERM', () => process.exit(0));
process.on('SIGINT', () => process.exit(0));

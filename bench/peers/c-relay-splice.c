/* The bare C relay with copy-free sends, a prototype that measures what the kernel's copy of
 * every delivery costs: the same protocol, command line and batching as c-relay.c, but a
 * WebSocket connection's output goes through a pipe of its own. Frames are read into page-aligned
 * anonymous memory, unmasked in place, and each receiver's queued frames are handed to its pipe
 * with vmsplice (the pipe takes references to our pages, no bytes are copied) and moved from the
 * pipe to the socket with splice (the socket's buffers take the same page references). On
 * loopback the receiver reads straight from our pages.
 *
 * The hazard: a page handed to vmsplice stays referenced by the pipe, then by the socket's send
 * and retransmit queues, then by the receiving socket until its reader has read it; nothing in
 * user space says when that is over. Writing such a page again would change bytes already sent.
 * The guard: a block any of whose bytes went to a pipe is marked `shared` and none of its bytes
 * is ever written again while it stays mapped. Before a shared block is reused it is given back
 * with madvise(MADV_DONTNEED), which unmaps its pages (the kernel's references keep the old pages,
 * and their bytes, alive) and leaves the range to fault in fresh zeroed pages; a block not kept
 * is unmapped. The cost of the guard is one page fault and one page cleared per 4 KiB read.
 * Writes past the unparsed end of a shared input buffer stay allowed: they touch only bytes no
 * pipe was given.
 *
 * What it trades, as profiled on loopback: the copy into the socket is gone, but every delivery
 * becomes one page fragment of a TCP segment (at most 17 to a segment, so many more segments
 * than the copying relay's 64 KiB ones, each received in the sender's softirq on loopback), each
 * costs a page lookup in vmsplice, and each 4 KiB read takes a page fault into a fresh page.
 *
 * Handshake refusals, sent before a connection has a pipe, and connections that cannot get one
 * (out of descriptors) are written with writev, as the copying relay does. Not production code:
 * no limits beyond sanity, no timeouts. Usage: c-relay-splice <port> [host] */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

enum { kBlock = 65536, kKeepSmall = 1024, kKeepLarge = 32, kEvents = 1024, kBuckets = 4096 };
/* A pipe of 1 MiB holds 256 page references: up to 256 frames per vmsplice and splice. */
enum { kPage = 4096, kPipeSize = 1 << 20 };
#define kMaxMessage (256u << 20)

/* Reference-counted bytes in page-aligned memory of their own: a connection's input buffer,
 * which its receivers' queues point into, or a reply of our own. Blocks of kBlock bytes or more
 * are kept for reuse. The header lives apart, so that no write of ours lands in a shared page. */
typedef struct Block {
    struct Block* next;
    size_t refs, cap;
    int shared; /* bytes of it went to a pipe: it is not written again until remapped */
    char* data;
} Block;
typedef struct {
    Block* b;
    char* p;
    size_t n;
} Piece;
typedef struct Room Room;
typedef struct Conn {
    int fd, ws, closing, dirty, dead;
    int pr, pw;   /* the output pipe's read and write ends, -1 until the first flush */
    size_t piped; /* bytes in the pipe not yet taken by the socket */
    Block* in;
    size_t start, end, need; /* unparsed bytes [start, end); need: size of the frame begun */
    Piece* q;
    size_t qh, qt, qcap;
    Room* room;
    size_t slot;
    struct Conn *nextDirty, *nextDead;
} Conn;
struct Room {
    Room* next;
    Conn** m;
    size_t n, cap;
    char name[];
};

static Block *freeSmall, *freeLarge;
static int nSmall, nLarge;
static Room* rooms[kBuckets];
static Conn *dirtyList, *deadList;

static Block* blockMap(size_t need) {
    Block* b = calloc(1, sizeof *b);
    if (!b) abort();
    b->cap = (need + kPage - 1) / kPage * kPage;
    b->data = mmap(NULL, b->cap, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (b->data == MAP_FAILED) abort();
    b->refs = 1;
    return b;
}

static Block* blockNew(size_t need) {
    Block** pp = need <= kBlock ? &freeSmall : &freeLarge;
    for (; *pp; pp = &(*pp)->next) {
        if ((*pp)->cap < need) continue;
        Block* b = *pp;
        *pp = b->next;
        if (b->cap == kBlock)
            nSmall--;
        else
            nLarge--;
        b->refs = 1;
        return b;
    }
    return blockMap(need < kBlock ? kBlock : need);
}

/* A shared block is kept only with fresh pages behind it: the pipes and sockets that still hold
 * its old pages keep them, and our next write faults in a zeroed page instead. */
static void blockUnref(Block* b) {
    if (--b->refs) return;
    const int keep =
        (b->cap == kBlock && nSmall < kKeepSmall) || (b->cap > kBlock && nLarge < kKeepLarge);
    if (!keep) {
        munmap(b->data, b->cap), free(b);
        return;
    }
    if (b->shared && madvise(b->data, b->cap, MADV_DONTNEED)) abort();
    b->shared = 0;
    if (b->cap == kBlock)
        b->next = freeSmall, freeSmall = b, nSmall++;
    else
        b->next = freeLarge, freeLarge = b, nLarge++;
}

static void markDirty(Conn* c) {
    if (!c->dirty) c->dirty = 1, c->nextDirty = dirtyList, dirtyList = c;
}

static void enqueue(Conn* c, Block* b, char* p, size_t n) {
    if (c->qt == c->qcap) {
        if (c->qh) {
            memmove(c->q, c->q + c->qh, (c->qt - c->qh) * sizeof *c->q);
            c->qt -= c->qh, c->qh = 0;
        } else {
            c->qcap = c->qcap ? c->qcap * 2 : 16;
            if (!(c->q = realloc(c->q, c->qcap * sizeof *c->q))) abort();
        }
    }
    b->refs++, b->shared = 1;
    c->q[c->qt++] = (Piece){b, p, n};
    markDirty(c);
}

static void reply(Conn* c, const char* text, size_t n) {
    Block* b = blockMap(n);
    memcpy(b->data, text, n);
    enqueue(c, b, b->data, n);
    blockUnref(b);
}

static uint32_t hashName(const char* s) {
    uint32_t h = 2166136261u;
    while (*s)
        h = (h ^ (unsigned char)*s++) * 16777619u;
    return h % kBuckets;
}

static void roomJoin(Conn* c, const char* name) {
    Room **head = &rooms[hashName(name)], *r = *head;
    while (r && strcmp(r->name, name))
        r = r->next;
    if (!r) {
        if (!(r = calloc(1, sizeof *r + strlen(name) + 1))) abort();
        strcpy(r->name, name);
        r->next = *head, *head = r;
    }
    if (r->n == r->cap) {
        r->cap = r->cap ? r->cap * 2 : 8;
        if (!(r->m = realloc(r->m, r->cap * sizeof *r->m))) abort();
    }
    c->room = r, c->slot = r->n, r->m[r->n++] = c;
}

static void roomLeave(Conn* c) {
    Room* r = c->room;
    if (!r) return;
    Conn* last = r->m[--r->n];
    r->m[c->slot] = last, last->slot = c->slot, c->room = NULL;
    if (r->n) return;
    Room** pp = &rooms[hashName(r->name)];
    while (*pp != r)
        pp = &(*pp)->next;
    *pp = r->next;
    free(r->m), free(r);
}

/* Closed at once; the memory goes after the batch, which may still name the connection. */
static void closeConn(Conn* c) {
    if (c->dead) return;
    c->dead = 1;
    roomLeave(c);
    close(c->fd);
    if (c->pw >= 0) close(c->pr), close(c->pw); /* the pipe's page references go with it */
    c->nextDead = deadList, deadList = c;
}

static void freeConn(Conn* c) {
    for (size_t i = c->qh; i < c->qt; i++)
        blockUnref(c->q[i].b);
    if (c->in) blockUnref(c->in);
    free(c->q), free(c);
}

static void sha1(const unsigned char* msg, size_t n, unsigned char out[20]) {
    uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0}, w[80];
    const size_t total = ((n + 8) / 64 + 1) * 64;
    const uint64_t bits = (uint64_t)n * 8;
    for (size_t off = 0; off < total; off += 64) {
        for (int i = 0; i < 16; i++) {
            w[i] = 0;
            for (int j = 0; j < 4; j++) {
                const size_t k = off + 4 * i + j;
                const unsigned b = k < n    ? msg[k]
                                   : k == n ? 0x80
                                   : k >= total - 8
                                       ? (unsigned)(bits >> (8 * (total - 1 - k))) & 255
                                       : 0;
                w[i] = w[i] << 8 | b;
            }
        }
        for (int i = 16; i < 80; i++) {
            const uint32_t x = w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16];
            w[i] = x << 1 | x >> 31;
        }
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
        for (int i = 0; i < 80; i++) {
            const uint32_t f = i < 20              ? (b & c) | (~b & d)
                               : i < 40 || i >= 60 ? b ^ c ^ d
                                                   : (b & c) | (b & d) | (c & d);
            const uint32_t k = i < 20   ? 0x5A827999
                               : i < 40 ? 0x6ED9EBA1
                               : i < 60 ? 0x8F1BBCDC
                                        : 0xCA62C1D6;
            const uint32_t t = (a << 5 | a >> 27) + f + e + k + w[i];
            e = d, d = c, c = b << 30 | b >> 2, b = a, a = t;
        }
        h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e;
    }
    for (int i = 0; i < 20; i++)
        out[i] = (unsigned char)(h[i / 4] >> (24 - 8 * (i % 4)));
}

static void base64(const unsigned char* p, size_t n, char* out) {
    static const char abc[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (size_t i = 0; i < n; i += 3) {
        const uint32_t v =
            (uint32_t)p[i] << 16 | (i + 1 < n ? p[i + 1] << 8 : 0) | (i + 2 < n ? p[i + 2] : 0);
        *out++ = abc[v >> 18 & 63], *out++ = abc[v >> 12 & 63];
        *out++ = i + 1 < n ? abc[v >> 6 & 63] : '=';
        *out++ = i + 2 < n ? abc[v & 63] : '=';
    }
    *out = 0;
}

/* The first value of `name` in the request target's query, percent-decoded, as URL parsers do. */
static int queryParam(const char* target, const char* name, char* out, size_t cap) {
    const char *q = strchr(target, '?'), *stop = strchr(target, ' ');
    const size_t len = strlen(name);
    if (!q || !stop || q > stop) return 0;
    for (const char* p = q + 1; p < stop; p = strchr(p, '&') ? strchr(p, '&') + 1 : stop) {
        if (strncmp(p, name, len) || p[len] != '=') continue;
        size_t n = 0;
        for (p += len + 1; p < stop && *p != '&' && n + 1 < cap; p++) {
            unsigned v;
            if (*p == '%' && p + 2 < stop && sscanf(p + 1, "%2x", &v) == 1)
                out[n++] = (char)v, p += 2;
            else
                out[n++] = *p == '+' ? ' ' : *p;
        }
        out[n] = 0;
        return n > 0 && !memchr(out, 0, n);
    }
    return 0;
}

static int headerValue(const char* head, const char* name, char* out, size_t cap) {
    const size_t len = strlen(name);
    for (const char* line = strstr(head, "\r\n"); line; line = strstr(line, "\r\n")) {
        line += 2;
        if (strncasecmp(line, name, len) || line[len] != ':') continue;
        const char* v = line + len + 1;
        while (*v == ' ' || *v == '\t')
            v++;
        size_t n = strcspn(v, "\r");
        while (n && (v[n - 1] == ' ' || v[n - 1] == '\t'))
            n--;
        if (!n || n >= cap) return 0;
        memcpy(out, v, n), out[n] = 0;
        return 1;
    }
    return 0;
}

static void unmask(char* p, size_t n, const unsigned char* key) {
    uint32_t k32;
    memcpy(&k32, key, 4);
    const uint64_t k64 = (uint64_t)k32 << 32 | k32;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t v;
        memcpy(&v, p + i, 8), v ^= k64, memcpy(p + i, &v, 8);
    }
    for (; i < n; i++)
        p[i] ^= key[i & 3];
}

/* Whole frames in [start, end): each is unmasked where it lies and its server header written
 * just before its payload, so that every receiver is sent the same bytes of this buffer. */
static void parseFrames(Conn* c) {
    while (!c->dead && !c->closing) {
        unsigned char* h = (unsigned char*)c->in->data + c->start;
        const size_t avail = c->end - c->start;
        size_t len = avail >= 2 ? h[1] & 127 : 0, hl = 2;
        c->need = 0;
        if (avail < 2 || (len == 126 && avail < 4) || (len == 127 && avail < 10)) return;
        if (len == 126)
            len = (size_t)h[2] << 8 | h[3], hl = 4;
        else if (len == 127) {
            uint64_t l = 0;
            for (int i = 2; i < 10; i++)
                l = l << 8 | h[i];
            if (l > kMaxMessage) {
                closeConn(c);
                return;
            }
            len = (size_t)l, hl = 10;
        }
        const size_t total = hl + (h[1] & 128 ? 4 : 0) + len;
        if (avail < total) {
            c->need = total;
            return;
        }
        const int op = h[0] & 15, fin = h[0] & 128;
        if (h[0] & 0x70) {
            closeConn(c);
            return;
        }
        char* payload = (char*)h + total - len;
        if (h[1] & 128) unmask(payload, len, h + hl);
        unsigned char head[10];
        memcpy(head, h, hl);
        head[1] &= 127;
        char* frame = payload - hl;
        memcpy(frame, head, hl);
        c->start += total;
        if ((op == 1 || op == 2) && fin) {
            Room* r = c->room;
            for (size_t i = 0; i < r->n; i++)
                if (r->m[i] != c) enqueue(r->m[i], c->in, frame, hl + len);
        } else if (op == 9 && len <= 125) {
            frame[0] = (char)0x8A;
            enqueue(c, c->in, frame, hl + len);
        } else if (op == 8) {
            enqueue(c, c->in, frame, hl + len), c->closing = 1;
        } else if (op != 10) {
            closeConn(c); /* fragments and unknown opcodes are not relayed here */
            return;
        }
    }
}

static void handshake(Conn* c) {
    char *req = c->in->data + c->start, room[256], key[64];
    char* eoh = memmem(req, c->end - c->start, "\r\n\r\n", 4);
    if (!eoh) {
        if (c->end - c->start > 16384) closeConn(c);
        return;
    }
    *eoh = 0;
    c->start += (size_t)(eoh + 4 - req);
    if (strncmp(req, "GET ", 4) || !queryParam(req + 4, "room", room, sizeof room) ||
        !headerValue(req, "Sec-WebSocket-Key", key, sizeof key)) {
        static const char bad[] = "HTTP/1.1 400 Bad Request\r\nContent-Length: 12\r\n"
                                  "Connection: close\r\n\r\nmissing room";
        reply(c, bad, sizeof bad - 1);
        c->closing = 1, c->start = c->end;
        return;
    }
    char text[128], accept[32], answer[256];
    unsigned char digest[20];
    const int n = snprintf(text, sizeof text, "%s258EAFA5-E914-47DA-95CA-C5AB0DC85B11", key);
    sha1((unsigned char*)text, (size_t)n, digest);
    base64(digest, 20, accept);
    const int an = snprintf(answer, sizeof answer,
                            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                            "Connection: Upgrade\r\nSec-WebSocket-Accept: %s\r\n\r\n",
                            accept);
    reply(c, answer, (size_t)an);
    roomJoin(c, room);
    c->ws = 1;
    parseFrames(c); /* frames may follow the request in the same read */
}

/* Room for the next read: the frame begun must fit whole, and a buffer that receivers' queues
 * or pipes point into is never written over, so its unparsed tail moves to a fresh one. */
static void makeRoom(Conn* c) {
    if (c->in && c->in->cap - c->end >= 4096 && c->in->cap - c->start >= c->need) return;
    const size_t have = c->in ? c->end - c->start : 0;
    const size_t cap = c->need + kBlock / 4 > kBlock ? c->need + kBlock / 4 : kBlock;
    if (c->in && c->in->refs == 1 && !c->in->shared && c->in->cap >= cap) {
        memmove(c->in->data, c->in->data + c->start, have);
    } else {
        Block* b = blockNew(cap);
        if (have) memcpy(b->data, c->in->data + c->start, have);
        if (c->in) blockUnref(c->in);
        c->in = b;
    }
    c->start = 0, c->end = have;
}

static void readConn(Conn* c) {
    for (;;) {
        makeRoom(c);
        const size_t ask = c->in->cap - c->end;
        const ssize_t n = read(c->fd, c->in->data + c->end, ask);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0 || errno != EAGAIN) closeConn(c);
            break;
        }
        c->end += (size_t)n;
        if (c->ws)
            parseFrames(c);
        else
            handshake(c);
        /* A short read emptied the socket; edge-triggered epoll reports the next data. */
        if (c->dead || c->closing || (size_t)n < ask) break;
    }
    if (!c->dead && c->in && c->start == c->end)
        blockUnref(c->in), c->in = NULL, c->start = c->end = 0;
}

/* The copying path: one writev of up to IOV_MAX pieces at a time. */
static void flushCopy(Conn* c) {
    static struct iovec iov[IOV_MAX];
    while (c->qh != c->qt) {
        int k = 0;
        size_t total = 0;
        for (size_t i = c->qh; i < c->qt && k < IOV_MAX; i++, k++)
            iov[k].iov_base = c->q[i].p, iov[k].iov_len = c->q[i].n, total += c->q[i].n;
        const ssize_t w = writev(c->fd, iov, k);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) {
            if (errno != EAGAIN) closeConn(c);
            return;
        }
        for (size_t left = (size_t)w; left;) {
            Piece* p = &c->q[c->qh];
            if (left < p->n) {
                p->p += left, p->n -= left;
                break;
            }
            left -= p->n;
            blockUnref(p->b);
            c->qh++;
        }
        if ((size_t)w < total) return; /* the socket is full: EPOLLOUT says when it drained */
    }
    c->qh = c->qt = 0;
    if (c->closing) closeConn(c);
}

static int openPipe(Conn* c) {
    int p[2];
    if (pipe2(p, O_NONBLOCK | O_CLOEXEC)) return 0;
    fcntl(p[1], F_SETPIPE_SZ, kPipeSize); /* refused: the default 16 slots still work */
    c->pr = p[0], c->pw = p[1];
    return 1;
}

/* Drops the queue's first `n` bytes, which the kernel has taken. */
static void consume(Conn* c, size_t n) {
    while (n) {
        Piece* p = &c->q[c->qh];
        if (n < p->n) {
            p->p += n, p->n -= n;
            return;
        }
        n -= p->n;
        blockUnref(p->b);
        c->qh++;
    }
}

/* The copy-free path: the queue goes into the pipe, as much as it holds, and the pipe into the
 * socket. A piece leaves the queue once the pipe holds its pages; its block was marked shared
 * when the piece was queued. */
static void flushSplice(Conn* c) {
    static struct iovec iov[kPipeSize / kPage];
    for (;;) {
        if (c->qh != c->qt) {
            int k = 0;
            for (size_t i = c->qh; i < c->qt && k < kPipeSize / kPage; i++, k++)
                iov[k].iov_base = c->q[i].p, iov[k].iov_len = c->q[i].n;
            const ssize_t v = vmsplice(c->pw, iov, (unsigned long)k, SPLICE_F_NONBLOCK);
            if (v < 0 && errno == EINTR) continue;
            if (v < 0 && errno != EAGAIN) {
                closeConn(c);
                return;
            }
            if (v > 0) consume(c, (size_t)v), c->piped += (size_t)v;
        }
        if (!c->piped) break;
        const ssize_t w =
            splice(c->pr, NULL, c->fd, NULL, c->piped, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) {
            if (errno != EAGAIN) closeConn(c);
            return;
        }
        c->piped -= (size_t)w;
        if (c->piped) return; /* the socket is full: EPOLLOUT says when it drained */
    }
    c->qh = c->qt = 0;
    if (c->closing) closeConn(c);
}

/* A connection's output takes the pipe once it is a WebSocket; a pipe in use is kept, so that
 * what it holds leaves before anything queued after it. */
static void flushConn(Conn* c) {
    if (c->pw < 0 && (!c->ws || !openPipe(c)))
        flushCopy(c);
    else
        flushSplice(c);
}

static void acceptAll(int ep, int lfd) {
    for (int i = 0; i < 64; i++) {
        const int fd = accept4(lfd, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        Conn* c = calloc(1, sizeof *c);
        if (!c) abort();
        c->fd = fd, c->pr = c->pw = -1;
        struct epoll_event ev = {.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET,
                                 .data.ptr = c};
        if (epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev)) close(fd), free(c);
    }
}

int main(int argc, char** argv) {
    const int port = argc > 1 ? atoi(argv[1]) : 49200;
    const char* host = argc > 2 ? argv[2] : "127.0.0.1";
    struct sockaddr_in a = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port)};
    const int lfd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0), one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (inet_pton(AF_INET, host, &a.sin_addr) != 1 || bind(lfd, (struct sockaddr*)&a, sizeof a) ||
        listen(lfd, 4096)) {
        perror("c-relay-splice: listen");
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    /* A pipe per connection: two more descriptors each. */
    struct rlimit nofile;
    if (!getrlimit(RLIMIT_NOFILE, &nofile))
        nofile.rlim_cur = nofile.rlim_max, setrlimit(RLIMIT_NOFILE, &nofile);
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    struct epoll_event lev = {.events = EPOLLIN, .data.ptr = NULL}, evs[kEvents];
    epoll_ctl(ep, EPOLL_CTL_ADD, lfd, &lev);
    printf("c relay listening on %s:%d\n", host, port);
    fflush(stdout);
    for (;;) {
        const int n = epoll_wait(ep, evs, kEvents, -1);
        for (int i = 0; i < n; i++) {
            Conn* c = evs[i].data.ptr;
            if (!c) {
                acceptAll(ep, lfd);
                continue;
            }
            if (c->dead) continue;
            if (!c->closing && (evs[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)))
                readConn(c);
            if (!c->dead && (evs[i].events & EPOLLOUT) && (c->qh != c->qt || c->piped))
                markDirty(c);
        }
        while (dirtyList) {
            Conn* c = dirtyList;
            dirtyList = c->nextDirty, c->dirty = 0;
            if (!c->dead) flushConn(c);
        }
        while (deadList) {
            Conn* c = deadList;
            deadList = c->nextDead;
            freeConn(c);
        }
    }
}

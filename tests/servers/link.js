'use strict';
// A far internet link in front of a test server: a TCP relay that passes every connection
// through to the target unchanged (TLS included, so the target's certificate is what the
// client sees) and gives it what loopback lacks:
//   - a one-way delay of RTT/2 in each direction, and one round trip before the client's
//     first byte leaves (the TCP handshake the relay's own accept does not cost);
//   - one bottleneck of --mbit Mbit/s towards the clients, shared first-come first-served
//     by every connection of the relay;
//   - slow start per connection: at most a window of bytes in flight (sent into the
//     bottleneck, not yet acknowledged one round trip after leaving it), 10 x 1448 bytes at
//     first, grown by every acknowledged byte while the connection has more to send (so it
//     doubles in each round trip it fills), up to 4 x the link's bandwidth-delay product
//     plus 1 MB (a queue at the bottleneck deep enough that a late timer on a busy machine
//     does not leave the line idle);
//     back to 10 x 1448 after 1 s with nothing in flight;
//   - with --cut S, every connection reset (TCP RST to the client) S seconds after it was
//     accepted.
// Requests (client to server) carry the delay only: they are small.
//
//   node link.js --pool 20-80 --port 443 --to 127.0.0.N --rtt MS --mbit M [--cut S]
//                [--to-port P] --ready FILE [--stats FILE]
//   node link.js --listen 127.0.0.1 --port 0 ...   (a given address; port 0: any free one)
//   node link.js --expect --rtt MS --mbit M --bytes N [--count K]
// --pool listens on the first free 127.0.0.K of the pool. FILE gets "ADDRESS PORT". The
// stats file (JSON, rewritten through a rename at every accept and close and every 250 ms
// while bytes move) counts the connections accepted, open and cut, the bytes each way and
// the relay's own CPU time, so that a bench can tell how many connections a job opened and
// whether the relay itself was the limit. --expect prints what the model predicts for K
// objects of N bytes, each on a fresh TLS 1.3 connection, one after another.
const net = require('net');
const { performance } = require('perf_hooks');
const { parseArgs } = require('./args');
const { writeAtomically, listenFirstFree } = require('./listen');

const SEGMENT = 1448;
const INITIAL_WINDOW = 10 * SEGMENT;
const IDLE_RESET_MS = 1000;
const SLICE = 16 * 1024;          // bytes sent into the bottleneck at a time
const READ_AHEAD = 4 * 1024 * 1024;  // bytes read from the target before it is paused
const CLIENT_BUFFER = 4 * 1024 * 1024;  // the client's receive buffer

function linkOf(args) {
  const rttMs = Math.max(0, Number(args.rtt) || 0);
  const bytesPerMs = Math.max(1, Number(args.mbit) || 0) * 1e6 / 8 / 1000;
  return { rttMs, bytesPerMs, maxWindow: 4 * bytesPerMs * rttMs + 1e6 };
}

// Seconds the model gives for `count` objects of `bytes` one after another, each on a fresh
// connection: the TCP handshake, TLS 1.3 (one round trip), the request's way out, then
// rounds of slow start until a window takes a round trip to pass the bottleneck, the rest
// at the line's rate, and the last byte's way in.
function expectedSeconds(link, bytes, count) {
  let t = 2.5 * link.rttMs;
  let remaining = bytes;
  let window = INITIAL_WINDOW;
  while (remaining > 0) {
    const send = Math.min(window, remaining);
    if (send / link.bytesPerMs >= link.rttMs || send === remaining) {
      t += remaining / link.bytesPerMs;
      break;
    }
    remaining -= send;
    t += link.rttMs;
    window = Math.min(2 * window, link.maxWindow);
  }
  t += link.rttMs / 2;
  return (t * count) / 1000;
}

// Items due at given times (ms, in order), handed to `fire` when due: one timer per queue.
class TimedQueue {
  constructor(fire) {
    this.items = [];
    this.fire = fire;
    this.timer = null;
  }
  push(at, item) {
    this.items.push({ at, item });
    if (this.items.length === 1) this.arm();
  }
  arm() {
    if (this.timer || !this.items.length) return;
    const wait = Math.max(0, this.items[0].at - performance.now());
    this.timer = setTimeout(() => this.due(), wait);
  }
  due() {
    this.timer = null;
    const now = performance.now() + 0.5;
    while (this.items.length && this.items[0].at <= now) this.fire(this.items.shift().item);
    this.arm();
  }
  stop() {
    clearTimeout(this.timer);
    this.timer = null;
    this.items = [];
  }
}

class Stats {
  constructor(file) {
    this.file = file;
    this.counts = { accepted: 0, open: 0, cut: 0, bytesToClients: 0, bytesToServer: 0 };
    this.dirty = false;
    if (file) {
      this.write();
      setInterval(() => { if (this.dirty) this.write(); }, 250).unref();
    }
  }
  add(key, n) {
    this.counts[key] += n;
    this.dirty = true;
  }
  write() {
    if (!this.file) return;
    const cpu = process.cpuUsage();
    const text = JSON.stringify({ ...this.counts, cpuMs: Math.round((cpu.user + cpu.system) / 1000) });
    writeAtomically(this.file, text + '\n');
    this.dirty = false;
  }
}

// The shared bottleneck: the time (ms) at which it is free again.
const bottleneck = { freeAt: 0 };

function relay(client, link, args, stats) {
  const acceptedAt = performance.now();
  const upstream = net.connect(Number(args['to-port'] || args.port), args.to);
  let closed = false;
  const c = { window: INITIAL_WINDOW, inFlight: 0, idleSince: acceptedAt, pending: [],
              pendingBytes: 0, upstreamEnded: false, endQueued: false };
  stats.add('accepted', 1);
  stats.add('open', 1);
  stats.write();

  const toServer = new TimedQueue((chunk) => {
    if (chunk === null) upstream.end();
    else upstream.write(chunk);
  });
  const toClient = new TimedQueue((chunk) => {
    if (chunk === null) return client.end();
    client.write(chunk);
    stats.add('bytesToClients', chunk.length);
  });
  const acks = new TimedQueue(({ n, windowFull }) => {
    c.inFlight -= n;
    if (windowFull || c.pendingBytes > 0) c.window = Math.min(c.window + n, link.maxWindow);
    if (c.inFlight === 0) c.idleSince = performance.now();
    pump();
  });

  // Sends what the window, the client's buffer and the bottleneck allow.
  function pump() {
    if (closed) return;
    const now = performance.now();
    if (c.inFlight === 0 && now - c.idleSince > IDLE_RESET_MS) c.window = INITIAL_WINDOW;
    while (c.pending.length && c.inFlight < c.window && client.writableLength < CLIENT_BUFFER) {
      const head = c.pending[0];
      const n = Math.min(head.length, SLICE, c.window - c.inFlight);
      const slice = head.subarray(0, n);
      if (n === head.length) c.pending.shift();
      else c.pending[0] = head.subarray(n);
      c.pendingBytes -= n;
      c.inFlight += n;
      bottleneck.freeAt = Math.max(now, bottleneck.freeAt) + n / link.bytesPerMs;
      toClient.push(bottleneck.freeAt + link.rttMs / 2, slice);
      acks.push(bottleneck.freeAt + link.rttMs, { n, windowFull: c.inFlight >= c.window });
    }
    if (c.pendingBytes < READ_AHEAD) upstream.resume();
    if (c.upstreamEnded && !c.pending.length && !c.endQueued) {
      c.endQueued = true;
      toClient.push(Math.max(now, bottleneck.freeAt) + link.rttMs / 2, null);
    }
  }

  function close() {
    if (closed) return;
    closed = true;
    for (const queue of [toServer, toClient, acks]) queue.stop();
    clearTimeout(cutTimer);
    client.destroy();
    upstream.destroy();
    stats.add('open', -1);
    stats.write();
  }

  const cutTimer = args.cut ? setTimeout(() => {
    stats.add('cut', 1);
    client.resetAndDestroy();
    close();
  }, Number(args.cut) * 1000) : null;

  // Nothing leaves before the handshake's round trip, then it takes half a round trip.
  const arrival = () => Math.max(performance.now(), acceptedAt + link.rttMs) + link.rttMs / 2;
  client.on('data', (chunk) => {
    stats.add('bytesToServer', chunk.length);
    toServer.push(arrival(), chunk);
  });
  client.on('end', () => toServer.push(arrival(), null));
  client.on('drain', pump);
  upstream.on('data', (chunk) => {
    c.pending.push(chunk);
    c.pendingBytes += chunk.length;
    if (c.pendingBytes >= READ_AHEAD) upstream.pause();
    pump();
  });
  upstream.on('end', () => {
    c.upstreamEnded = true;
    pump();
  });
  client.on('error', close);
  upstream.on('error', close);
  client.on('close', close);
  upstream.on('close', () => { if (!c.upstreamEnded) close(); });
}

function listen(args, link) {
  const stats = new Stats(args.stats);
  // Half-open: a client's FIN travels to the target with the delay, while the answers
  // still in flight reach the client.
  const server = net.createServer({ allowHalfOpen: true }, (client) => relay(client, link, args, stats));
  listenFirstFree(server, { name: 'link', port: args.port, listen: args.listen, pool: args.pool }, () => {
    const at = server.address();
    writeAtomically(args.ready, at.address + ' ' + at.port + '\n');
    console.log('link: ' + at.address + ':' + at.port + ' -> ' + args.to + ':' +
                (args['to-port'] || args.port) + ', RTT ' + link.rttMs + ' ms, ' +
                args.mbit + ' Mbit/s' + (args.cut ? ', every connection cut after ' +
                args.cut + ' s' : ''));
    process.on('SIGTERM', () => { stats.write(); process.exit(0); });
  });
}

const args = parseArgs(process.argv.slice(2));
const link = linkOf(args);
if (args.expect !== undefined) {
  const bytes = Number(args.bytes);
  const count = Number(args.count || 1);
  const seconds = expectedSeconds(link, bytes, count);
  const own = (bytes * count) / link.bytesPerMs / 1000;
  console.log(count + ' x ' + bytes + ' bytes on fresh connections: ' + seconds.toFixed(3) +
              ' s (the line alone: ' + own.toFixed(3) + ' s, share ' + (own / seconds).toFixed(2) + ')');
} else {
  listen(args, link);
}

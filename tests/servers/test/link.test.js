'use strict';
// The link emulator on loopback, plain TCP: the round trip it adds, the bottleneck's rate,
// the cut and the counts it writes. Only lower bounds are exact; upper bounds are generous.
const assert = require('node:assert');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const test = require('node:test');
const { startServer } = require('./child');

const RTT_MS = 200;

// A target that answers every line "N" with N bytes, stopped when the test ends.
function startTarget(t) {
  const sockets = new Set();
  const server = net.createServer((socket) => {
    sockets.add(socket);
    let text = '';
    socket.on('data', (d) => {
      text += d;
      for (let at; (at = text.indexOf('\n')) >= 0; text = text.slice(at + 1))
        socket.write(Buffer.alloc(Number(text.slice(0, at)), 7));
    });
    socket.on('error', () => {});
  });
  t.after(() => { for (const s of sockets) s.destroy(); server.close(); });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

async function startLink(t, target, extra) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'link-'));
  const stats = path.join(dir, 'stats');
  const { port } = await startServer(t, dir, 'link.js', (ready) => ['--listen', '127.0.0.1',
    '--port', '0', '--to', '127.0.0.1', '--to-port', String(target.address().port),
    '--ready', ready, '--stats', stats, ...extra]);
  return { port, stats: () => JSON.parse(fs.readFileSync(stats, 'utf8')) };
}

// Asks for `bytes` and resolves with the milliseconds until all of them arrived.
function fetch(socket, bytes) {
  return new Promise((resolve, reject) => {
    const begin = performance.now();
    let got = 0;
    const onData = (d) => {
      got += d.length;
      if (got >= bytes) {
        socket.off('data', onData);
        resolve(performance.now() - begin);
      }
    };
    socket.on('data', onData);
    socket.once('error', reject);
    socket.write(bytes + '\n');
  });
}

function connect(port) {
  return new Promise((resolve) => { const s = net.connect(port, '127.0.0.1', () => resolve(s)); });
}

test('a request waits for the handshake, then each exchange costs one round trip', async (t) => {
  const target = await startTarget(t);
  const link = await startLink(t, target, ['--rtt', String(RTT_MS), '--mbit', '1000']);
  // Timed from the connect: the relay counts the handshake's round trip from its accept,
  // which a loaded machine may run well before the client's connect callback.
  const begin = performance.now();
  const socket = await connect(link.port);
  await fetch(socket, 1);
  const first = performance.now() - begin;
  const second = await fetch(socket, 1);
  socket.destroy();
  assert.ok(first >= 2 * RTT_MS - 5 && first < 2 * RTT_MS + 1000, 'first ' + first);
  assert.ok(second >= RTT_MS - 5 && second < RTT_MS + 1000, 'second ' + second);
});

test('slow start: a body of 20 windows takes 5 round trips; the bottleneck bounds the rate',
  async (t) => {
    const target = await startTarget(t);
    const link = await startLink(t, target, ['--rtt', String(RTT_MS), '--mbit', '1000']);
    const socket = await connect(link.port);
    await fetch(socket, 1);
    // Windows of 1, 2, 4, 8 and then the last 5 x 14480 bytes.
    const ms = await fetch(socket, 20 * 14480);
    socket.destroy();
    assert.ok(ms >= 5 * RTT_MS - 5 && ms < 5 * RTT_MS + 1000, 'slow start ' + ms);

    const slow = await startLink(t, target, ['--rtt', '0', '--mbit', '8']);
    const lane = await connect(slow.port);
    const lineMs = await fetch(lane, 500000);  // 0.5 s at 1 MB/s
    lane.destroy();
    assert.ok(lineMs >= 480 && lineMs < 3000, 'bottleneck ' + lineMs);
  });

test('every connection is reset after --cut seconds, and counted', async (t) => {
  const target = await startTarget(t);
  const link = await startLink(t, target, ['--rtt', '0', '--mbit', '100', '--cut', '0.3']);
  const socket = await connect(link.port);
  const begin = performance.now();
  const error = await new Promise((resolve) => socket.on('error', resolve));
  const ms = performance.now() - begin;
  assert.strictEqual(error.code, 'ECONNRESET');
  assert.ok(ms >= 290 && ms < 3000, 'cut after ' + ms);
  await new Promise((r) => setTimeout(r, 100));
  const counts = link.stats();
  assert.strictEqual(counts.accepted, 1);
  assert.strictEqual(counts.cut, 1);
  assert.strictEqual(counts.open, 0);
});

// Both relays try their pool's addresses in turn with one server: an address whose port is
// taken is passed over, and the ready file and the ready line name the one that listens, once.
test('a relay passes over a taken address of its pool and reports the free one once', async (t) => {
  for (const [script, extra] of [['link.js', ['--rtt', '0', '--mbit', '100']], ['throttle.js', ['--rate', '1000']]]) {
    const target = await startTarget(t);
    const taken = String(target.address().port);  // on 127.0.0.1, the pool's first address
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'relay-'));
    const relay = await startServer(t, dir, script, (ready) => ['--pool', '1-2', '--port', taken,
      '--to', '127.0.0.1', '--ready', ready, ...extra]);
    assert.strictEqual(relay.address, '127.0.0.2', script);
    for (let i = 0; i < 100 && !relay.output().includes('\n'); i++) await new Promise((r) => setTimeout(r, 20));
    await new Promise((r) => setTimeout(r, 200));
    const name = script.replace('.js', '');
    assert.match(relay.output(), new RegExp('^' + name + ': 127\\.0\\.0\\.2:' + taken + ' -> 127\\.0\\.0\\.1:' + taken + '[^\\n]*\\n$'));
  }
});

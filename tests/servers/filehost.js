'use strict';
// The fault-injecting file host: a TLS server on port 443 of one loopback address that
// serves the files under its root folder by URL path. It speaks HTTP/1.1 itself on the
// raw TLS socket (rather than through node's http module) so that it can misbehave in
// ways a well-behaved server library would refuse to: short bodies, non-HTTP bytes,
// oversized header blocks, stalls.
//
//   node filehost.js --root DIR --cert PEM --key PEM --pool 20-80 --prefer N
//                    --ready FILE --log FILE [--port P]
//
// It binds port P (default 443) of the first free 127.0.0.N of the pool (starting at
// --prefer) and writes that address to the ready file, followed by " PORT" when --port was
// given (port 0: the one the system chose). Control files live in each namespace's ".velmot" folder
// (see controls.js); they are re-read on every request, so tests steer the host simply by
// writing files.

const fs = require('fs');
const path = require('path');
const tls = require('tls');
const { parseArgs } = require('./args');
const controls = require('./controls');
const { buildResponse, send } = require('./faults');

const args = parseArgs(process.argv.slice(2));
const root = path.resolve(args.root);
const globalLog = args.log ? fs.openSync(args.log, 'a') : null;

function logLine(text) {
  if (globalLog !== null) fs.writeSync(globalLog, text + '\n');
}

// Request head parsing -----------------------------------------------------------------

const MAX_HEAD = 64 * 1024;

function parseHead(text) {
  const lines = text.split('\r\n');
  const [method, target, version] = lines[0].split(' ');
  if (!method || !target || !/^HTTP\/1\.[01]$/.test(version || '')) return null;
  const rawHeaders = [];
  const headers = {};
  for (const line of lines.slice(1)) {
    const colon = line.indexOf(':');
    if (colon <= 0) continue;
    const name = line.slice(0, colon);
    const value = line.slice(colon + 1).trim();
    rawHeaders.push(name, value);
    const lower = name.toLowerCase();
    headers[lower] = lower in headers ? headers[lower] + ', ' + value : value;
  }
  const q = target.indexOf('?');
  return {
    method,
    version,
    target,
    path: q < 0 ? target : target.slice(0, q),
    query: q < 0 ? '' : target.slice(q + 1),
    hasQuery: q >= 0,
    headers,
    rawHeaders,
  };
}

function decodePath(p) {
  try {
    return decodeURIComponent(p);
  } catch (e) {
    return null;
  }
}

// One request ----------------------------------------------------------------------------

function plainAnswer(status, text) {
  return { status, body: Buffer.from(text + '\n'), plan: {}, headers: [], start: null };
}

// Works out what to send for one parsed request and records it in the namespace's log.
function answerFor(req) {
  const decoded = decodePath(req.path);
  const record = {
    time: new Date().toISOString(),
    method: req.method,
    path: req.path,
    decodedPath: decoded,
    query: req.query,
    target: req.target,
    headers: req.headers,
    rawHeaders: req.rawHeaders,
  };
  logLine(JSON.stringify(record));
  if (decoded === null || decoded.includes('\0')) return plainAnswer(400, 'bad path');

  const segments = decoded.split('/').slice(1);
  const ns = segments[0] || '';
  const relative = segments.slice(1).join('/');
  // No way out of the root, and the control folders are never served.
  if (!controls.isSafeName(ns) || segments.slice(1).some((s) => s === '..' || s === '.' || s === controls.CONTROL_DIR)) {
    return plainAnswer(404, 'not found');
  }
  const nsDir = path.join(root, ns);
  if (!fs.existsSync(nsDir)) return plainAnswer(404, 'not found');
  // An outage: the request is logged (marked) and its connection reset without an answer.
  if (controls.isDown(nsDir, Date.now())) {
    controls.appendRequest(nsDir, Object.assign({ refused: true }, record));
    return { reset: true, refused: true, nsDir, record };
  }
  controls.appendRequest(nsDir, record);
  const answer = answerInNamespace(req, nsDir, relative);
  return Object.assign(answer, { nsDir, record });
}

function answerInNamespace(req, nsDir, relative) {

  if (req.method !== 'GET' && req.method !== 'HEAD') return plainAnswer(405, 'method not allowed');
  const required = controls.requiredQuery(nsDir);
  if (required !== null && req.query !== required) return plainAnswer(403, 'query refused');

  const step = controls.nextStep(nsDir, relative);
  if (step.reset === true) return { reset: true };
  return buildResponse(nsDir, relative, step, req);
}

// The namespace's answers file: what was answered to each of its requests (see controls.js).
function recordAnswer(answer, outcome) {
  if (!answer.nsDir) return;
  const r = answer.record;
  const plan = answer.plan || {};
  const line = {
    time: r.time,
    end: new Date().toISOString(),
    method: r.method,
    path: r.path,
    decodedPath: r.decodedPath,
    range: r.headers.range === undefined ? null : r.headers.range,
    ifMatch: r.headers['if-match'] === undefined ? null : r.headers['if-match'],
    status: answer.reset || plan.garbage ? 0 : answer.status,
    etag: answer.etag && answer.status !== 412 && answer.status !== 416 ? answer.etag : null,
    objectLength: typeof answer.objectLength === 'number' ? answer.objectLength : null,
    start: answer.reset || plan.garbage || r.method === 'HEAD' || answer.start === undefined ? null : answer.start,
    length: answer.body && r.method !== 'HEAD' ? answer.body.length : 0,
    sent: outcome.sent,
    complete: outcome.complete,
  };
  if (typeof answer.corruptAt === 'number') line.corruptAt = answer.corruptAt;
  if (answer.refused) line.refused = true;
  else if (answer.reset) line.reset = true;
  if (plan.garbage) line.garbage = true;
  try {
    controls.appendAnswer(answer.nsDir, line);
  } catch (e) {
    logLine(JSON.stringify({ error: String(e && e.stack || e) }));
  }
}

// Connection handling ---------------------------------------------------------------------

// Raw TCP sockets by the client's port, so that a request can be answered with a TCP
// reset (the TLS socket itself cannot be reset from node).
const rawSockets = new Map();

function resetConnection(socket) {
  const raw = rawSockets.get(socket.remotePort);
  if (raw && typeof raw.resetAndDestroy === 'function') raw.resetAndDestroy();
  else socket.destroy();
}

function serveConnection(socket) {
  let pending = Buffer.alloc(0);
  let busy = false;
  let closed = false;
  socket.on('error', () => {});
  socket.on('close', () => {
    closed = true;
    socket.emit('data-appended');
  });
  const conn = {
    isClosed: () => closed,
    write: (buf) => new Promise((resolve) => {
      if (closed) return resolve(false);
      socket.write(buf, () => resolve(!closed));
    }),
    end: () => socket.end(),
    destroy: () => socket.destroy(),
    // Bytes that are no TLS record straight onto the TCP connection, then its end.
    breakTls: () => {
      const raw = rawSockets.get(socket.remotePort);
      if (!raw) return socket.destroy();
      raw.write(Buffer.alloc(64, 0x17));
      raw.end();
    },
  };

  async function pump() {
    if (busy) return;
    busy = true;
    try {
      while (!closed) {
        const end = pending.indexOf('\r\n\r\n');
        if (end < 0) {
          if (pending.length > MAX_HEAD) socket.destroy();
          break;
        }
        const head = pending.slice(0, end).toString('latin1');
        pending = pending.slice(end + 4);
        const req = parseHead(head);
        if (!req) {
          await send(conn, plainAnswer(400, 'bad request'), { method: 'GET' }, false);
          socket.end();
          break;
        }
        // Bodies of other methods are skipped so that the next request parses.
        const length = parseInt(req.headers['content-length'] || '0', 10) || 0;
        while (pending.length < length && !closed) {
          await new Promise((r) => socket.once('data-appended', r));
        }
        pending = pending.slice(Math.min(length, pending.length));
        let answer;
        try {
          answer = answerFor(req);
        } catch (e) {
          logLine(JSON.stringify({ error: String(e && e.stack || e) }));
          answer = plainAnswer(500, 'file host failure');
        }
        if (answer.reset) {
          recordAnswer(answer, { sent: 0, complete: false });
          resetConnection(socket);
          break;
        }
        const keepAlive = req.version === 'HTTP/1.1' && !/close/i.test(req.headers.connection || '');
        const outcome = await send(conn, answer, req, keepAlive);
        recordAnswer(answer, outcome);
        if (!outcome.open) break;
      }
    } finally {
      busy = false;
    }
  }

  socket.on('data', (chunk) => {
    pending = Buffer.concat([pending, chunk]);
    socket.emit('data-appended');
    pump();
  });
}

// Start-up: bind the first free address of the pool --------------------------------------

const options = {
  cert: fs.readFileSync(args.cert),
  key: fs.readFileSync(args.key),
};
const [poolFirst, poolLast] = String(args.pool || '20-80').split('-').map(Number);
const prefer = Number(args.prefer || poolFirst);
const candidates = [];
for (let n = poolFirst; n <= poolLast; n++) candidates.push(n);
const start = Math.max(0, candidates.indexOf(prefer));
const order = candidates.slice(start).concat(candidates.slice(0, start));
const port = args.port === undefined ? 443 : Number(args.port);

function tryListen(i) {
  if (i >= order.length) {
    console.error('filehost: no free address in the pool 127.0.0.' + poolFirst + '-' + poolLast);
    process.exit(2);
  }
  const address = '127.0.0.' + order[i];
  const server = tls.createServer(options, serveConnection);
  server.on('connection', (raw) => {
    const key = raw.remotePort;
    rawSockets.set(key, raw);
    raw.on('close', () => {
      if (rawSockets.get(key) === raw) rawSockets.delete(key);
    });
  });
  server.on('tlsClientError', () => {});
  server.once('error', (e) => {
    if (e.code === 'EADDRINUSE' || e.code === 'EACCES' || e.code === 'EADDRNOTAVAIL') return tryListen(i + 1);
    console.error('filehost: ' + e.message);
    process.exit(2);
  });
  server.listen(port, address, () => {
    server.removeAllListeners('error');
    server.on('error', (e) => console.error('filehost: ' + e.message));
    const bound = args.port === undefined ? '' : ' ' + server.address().port;
    fs.writeFileSync(args.ready + '.tmp', address + bound + '\n');
    fs.renameSync(args.ready + '.tmp', args.ready);
    console.log('filehost: serving ' + root + ' on https://' + address + ':443');
    const stop = () => {
      server.close();
      process.exit(0);
    };
    process.on('SIGTERM', stop);
    process.on('SIGINT', stop);
  });
}

tryListen(0);

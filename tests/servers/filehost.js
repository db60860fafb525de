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
const { buildResponse, send, textAnswer } = require('./faults');
const { orElse, writeAtomically, listenFirstFree, parseHead, RawSockets, stopOnSignals } = require('./listen');

const args = parseArgs(process.argv.slice(2));
const root = path.resolve(args.root);
const globalLog = args.log ? fs.openSync(args.log, 'a') : null;

const logLine = (text) => globalLog !== null && fs.writeSync(globalLog, text + '\n');
const logError = (e) => logLine(JSON.stringify({ error: String(e && e.stack || e) }));

const MAX_HEAD = 64 * 1024;

// Works out what to send for one parsed request and records it in the namespace's log.
function answerFor(req) {
  const decoded = orElse(() => decodeURIComponent(req.path), null);
  const record = { time: new Date().toISOString(), method: req.method, path: req.path, decodedPath: decoded,
    query: req.query, target: req.target, headers: req.headers, rawHeaders: req.rawHeaders };
  logLine(JSON.stringify(record));
  if (decoded === null || decoded.includes('\0')) return textAnswer(400, 'bad path');

  const segments = decoded.split('/').slice(1);
  const ns = segments[0] || '';
  const relative = segments.slice(1).join('/');
  // No way out of the root, and the control folders are never served.
  if (!controls.isSafeName(ns) || segments.slice(1).some((s) => s === '..' || s === '.' || s === controls.CONTROL_DIR)) {
    return textAnswer(404, 'not found');
  }
  const nsDir = path.join(root, ns);
  if (!fs.existsSync(nsDir)) return textAnswer(404, 'not found');
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
  if (req.method !== 'GET' && req.method !== 'HEAD') return textAnswer(405, 'method not allowed');
  const required = controls.requiredQuery(nsDir);
  if (required !== null && req.query !== required) return textAnswer(403, 'query refused');
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
    time: r.time, end: new Date().toISOString(), method: r.method, path: r.path, decodedPath: r.decodedPath,
    range: r.headers.range === undefined ? null : r.headers.range,
    ifMatch: r.headers['if-match'] === undefined ? null : r.headers['if-match'],
    status: answer.reset || plan.garbage ? 0 : answer.status,
    etag: answer.etag && answer.status !== 412 && answer.status !== 416 ? answer.etag : null,
    objectLength: typeof answer.objectLength === 'number' ? answer.objectLength : null,
    start: answer.reset || plan.garbage || r.method === 'HEAD' || answer.start === undefined ? null : answer.start,
    length: answer.body && r.method !== 'HEAD' ? answer.body.length : 0,
    sent: outcome.sent, complete: outcome.complete,
  };
  if (typeof answer.corruptAt === 'number') line.corruptAt = answer.corruptAt;
  if (answer.refused) line.refused = true;
  else if (answer.reset) line.reset = true;
  if (plan.garbage) line.garbage = true;
  try {
    controls.appendAnswer(answer.nsDir, line);
  } catch (e) {
    logError(e);
  }
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
    // Bytes that are no TLS record straight onto the TCP connection, then its end.
    breakTls: () => {
      const raw = rawSockets.of(socket);
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
          await send(conn, textAnswer(400, 'bad request'), { method: 'GET' }, false);
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
          logError(e);
          answer = textAnswer(500, 'file host failure');
        }
        if (answer.reset) {
          recordAnswer(answer, { sent: 0, complete: false });
          rawSockets.reset(socket);
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

const options = { cert: fs.readFileSync(args.cert), key: fs.readFileSync(args.key) };
const rawSockets = new RawSockets();
const server = rawSockets.watch(tls.createServer(options, serveConnection));
listenFirstFree(server, { name: 'filehost', port: args.port, pool: args.pool || '20-80', prefer: Number(args.prefer),
  taken: ['EADDRINUSE', 'EACCES', 'EADDRNOTAVAIL'] }, (address) => {
  server.on('error', (e) => console.error('filehost: ' + e.message));
  const bound = args.port === undefined ? '' : ' ' + server.address().port;
  writeAtomically(args.ready, address + bound + '\n');
  console.log('filehost: serving ' + root + ' on https://' + address + ':443');
  stopOnSignals(server);
});

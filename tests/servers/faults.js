'use strict';
// What the file host answers for one request step, and how it delivers it: the normal
// answer (the object with its Content-Length) or one of the misbehaviours a test asked for.
const fs = require('fs');
const path = require('path');
const http = require('http');

const CHUNK = 64 * 1024;

function reason(status) {
  return http.STATUS_CODES[status] || 'Status';
}

function readObject(file) {
  try {
    const stat = fs.statSync(file);
    if (!stat.isFile()) return null;
    return fs.readFileSync(file);
  } catch (e) {
    return null;
  }
}

// The answer for one step: {status, body, plan}; plan carries the delivery faults.
function buildResponse(nsDir, relative, step) {
  if (typeof step.status === 'number' && step.status !== 200) {
    return { status: step.status, body: Buffer.from(reason(step.status) + '\n'), plan: step };
  }
  let body;
  if (typeof step.body === 'string') {
    body = Buffer.from(step.body, 'utf8');
  } else if (typeof step.bodyFile === 'string') {
    body = readObject(path.join(nsDir, step.bodyFile));
  } else {
    body = readObject(path.join(nsDir, relative));
  }
  if (body === null) return { status: 404, body: Buffer.from('not found\n'), plan: step };
  if (typeof step.corruptAt === 'number' && step.corruptAt >= 0 && step.corruptAt < body.length) {
    body = Buffer.from(body);
    body[step.corruptAt] ^= 0xff;
  }
  return { status: 200, body, plan: step };
}

function headBlock(answer, req, keepAlive) {
  const plan = answer.plan;
  const contentType = typeof plan.contentType === 'string' ? plan.contentType : 'application/octet-stream';
  const lines = [
    'HTTP/1.1 ' + answer.status + ' ' + reason(answer.status),
    'Content-Type: ' + contentType,
    'Date: ' + new Date().toUTCString(),
    'Connection: ' + (keepAlive ? 'keep-alive' : 'close'),
  ];
  if (!plan.noLength) lines.push('Content-Length: ' + answer.body.length);
  if (typeof plan.hugeHeaders === 'number' && plan.hugeHeaders > 0) {
    const filler = 'x'.repeat(1000);
    let added = 0;
    for (let i = 0; added < plan.hugeHeaders; i++) {
      const line = 'X-Velmot-Filler-' + i + ': ' + filler;
      lines.push(line);
      added += line.length + 2;
    }
  }
  return Buffer.from(lines.join('\r\n') + '\r\n\r\n', 'latin1');
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Writes bytes [from, to) of body, honouring the rate; false once the client has gone.
async function writeRange(conn, body, from, to, rate) {
  let at = from;
  const step = rate > 0 ? Math.max(1, Math.floor(rate / 20)) : CHUNK;
  while (at < to) {
    const next = Math.min(to, at + step);
    if (!(await conn.write(body.subarray(at, next)))) return false;
    at = next;
    if (rate > 0 && at < to) await sleep(50);
  }
  return true;
}

// Sends the answer; resolves to true when the connection may carry another request.
async function send(conn, answer, req, keepAlive) {
  const plan = answer.plan || {};
  if (plan.garbage) {
    await conn.write(Buffer.from('This is not HTTP at all.\r\n\x00\x01\x02\xff garbage\r\n\r\n', 'latin1'));
    conn.end();
    return false;
  }
  const closing = !keepAlive || plan.noLength || typeof plan.closeAfter === 'number';
  if (!(await conn.write(headBlock(answer, req, !closing)))) return false;
  if (req.method === 'HEAD') {
    if (closing) conn.end();
    return !closing;
  }
  const body = answer.body;
  const limit = typeof plan.closeAfter === 'number' ? Math.max(0, Math.min(plan.closeAfter, body.length)) : body.length;
  const rate = typeof plan.rate === 'number' ? plan.rate : 0;
  let at = 0;
  // After brokenAfter bytes of the body, bytes that are no TLS record: the client's read
  // fails (a reset or a clean close would read as an end).
  if (typeof plan.brokenAfter === 'number') {
    await writeRange(conn, body, 0, Math.max(0, Math.min(plan.brokenAfter, limit)), rate);
    conn.breakTls();
    return false;
  }
  if (typeof plan.stallAfter === 'number') {
    const pause = Math.max(0, Math.min(plan.stallAfter, limit));
    if (!(await writeRange(conn, body, 0, pause, rate))) return false;
    await sleep(typeof plan.stallMs === 'number' ? plan.stallMs : 1000);
    if (conn.isClosed()) return false;
    at = pause;
  }
  if (!(await writeRange(conn, body, at, limit, rate))) return false;
  if (closing) {
    conn.end();
    return false;
  }
  return true;
}

module.exports = { buildResponse, send };

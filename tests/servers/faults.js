'use strict';
// What the file host answers for one request step, and how it delivers it: the normal
// answer (the object, or the slice a Range asks for, with its Content-Length and ETag) or
// one of the misbehaviours a test asked for.
const crypto = require('crypto');
const fs = require('fs');
const path = require('path');
const http = require('http');
const { orElse } = require('./listen');

const CHUNK = 64 * 1024;

const reason = (status) => http.STATUS_CODES[status] || 'Status';

const readObject = (file) => orElse(() => (fs.statSync(file).isFile() ? fs.readFileSync(file) : null), null);

// The entity tag of a content: the first 32 hex digits of its SHA-256, quoted. It changes
// exactly when the bytes do, so it stays the same across requests of an unchanged file.
function etagOf(bytes) {
  return '"' + crypto.createHash('sha256').update(bytes).digest('hex').slice(0, 32) + '"';
}

function stepEtag(value) {
  return value.startsWith('"') || value.startsWith('W/') ? value : '"' + value + '"';
}

// If-Match: "*" matches any existing object, otherwise one of the listed tags must equal
// the current one exactly (strong comparison: a weak tag never matches).
function ifMatchHolds(header, etag) {
  if (header === undefined) return true;
  const tags = header.split(',').map((t) => t.trim()).filter((t) => t !== '');
  return tags.some((t) => t === '*' || (t === etag && !t.startsWith('W/')));
}

// "bytes=N-" or "bytes=N-M" (one range) as {first, last} (last null: to the end); null for
// anything else, which is ignored as HTTP allows (the whole object is answered).
function parseRange(header) {
  if (typeof header !== 'string') return null;
  const m = /^bytes=(\d+)-(\d*)$/.exec(header.trim());
  if (!m) return null;
  const first = Number(m[1]);
  const last = m[2] === '' ? null : Number(m[2]);
  if (!Number.isSafeInteger(first) || (last !== null && (!Number.isSafeInteger(last) || last < first))) return null;
  return { first, last };
}

function textAnswer(status, text, plan = {}, headers = []) {
  return { status, body: Buffer.from(text + '\n'), plan, headers, start: null };
}
const statusAnswer = (status, plan, headers) => textAnswer(status, reason(status), plan, headers);

// The answer for one step: {status, body, plan, headers, start, objectLength, etag};
// plan carries the delivery faults, start is the object byte the body begins at (null when
// the body is not the object's bytes), headers are extra [name, value] pairs.
function buildResponse(nsDir, relative, step, req) {
  const request = req || { method: 'GET', headers: {} };
  if (typeof step.status === 'number' && step.status !== 200) {
    const headers = typeof step.storageError === 'string' ? [['x-ms-error-code', step.storageError]] : [];
    return statusAnswer(step.status, step, headers);
  }
  const isObject = typeof step.body !== 'string' && typeof step.bodyFile !== 'string';
  let body = typeof step.body === 'string' ? Buffer.from(step.body, 'utf8')
    : readObject(path.join(nsDir, typeof step.bodyFile === 'string' ? step.bodyFile : relative));
  if (body === null) return textAnswer(404, 'not found', step);
  const etag = typeof step.etag === 'string' ? stepEtag(step.etag) : etagOf(body);
  if (!ifMatchHolds(request.headers['if-match'], etag)) {
    return statusAnswer(412, step, [['x-ms-error-code', 'ConditionNotMet']]);
  }
  const length = body.length;
  // The byte is flipped in the whole object, so that a corruption sits at the same object
  // byte whichever range carries it.
  let corruptAt = null;
  if (typeof step.corruptAt === 'number' && step.corruptAt >= 0 && step.corruptAt < length) {
    body = Buffer.from(body);
    body[step.corruptAt] ^= 0xff;
    corruptAt = step.corruptAt;
  }
  const common = [['ETag', etag], ['Accept-Ranges', 'bytes']];
  const range = request.method === 'GET' && !step.ignoreRange ? parseRange(request.headers.range) : null;
  const answer = { status: 200, body, plan: step, headers: common, start: isObject ? 0 : null, objectLength: length, etag, corruptAt };
  if (range === null) return answer;
  if (range.first >= length) {
    return Object.assign(statusAnswer(416, step, [['Content-Range', 'bytes */' + length]]), { objectLength: length });
  }
  const last = range.last === null ? length - 1 : Math.min(range.last, length - 1);
  return Object.assign(answer, {
    status: 206,
    body: body.subarray(range.first, last + 1),
    headers: common.concat([['Content-Range', 'bytes ' + range.first + '-' + last + '/' + length]]),
    start: isObject ? range.first : null,
  });
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
  for (const [name, value] of answer.headers || []) lines.push(name + ': ' + value);
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

// Waits ms, or less once the client has gone (so that the answer is over when it is).
async function pauseUnlessClosed(conn, ms) {
  const until = Date.now() + ms;
  while (!conn.isClosed() && Date.now() < until) await sleep(Math.min(50, until - Date.now()));
}

// Writes bytes [from, to) of body, honouring the rate; false once the client has gone.
// progress.sent counts the body bytes whose write completed.
async function writeRange(conn, body, from, to, rate, progress) {
  let at = from;
  const step = rate > 0 ? Math.max(1, Math.floor(rate / 20)) : CHUNK;
  while (at < to) {
    const next = Math.min(to, at + step);
    if (!(await conn.write(body.subarray(at, next)))) return false;
    progress.sent += next - at;
    at = next;
    if (rate > 0 && at < to) await sleep(50);
  }
  return true;
}

// Sends the answer; resolves to {open, sent, complete}: whether the connection may carry
// another request, the body bytes written, and whether the whole answer went out.
async function send(conn, answer, req, keepAlive) {
  const plan = answer.plan || {};
  const progress = { open: false, sent: 0, complete: false };
  if (plan.garbage) {
    await conn.write(Buffer.from('This is not HTTP at all.\r\n\x00\x01\x02\xff garbage\r\n\r\n', 'latin1'));
    conn.end();
    return progress;
  }
  const closing = !keepAlive || plan.noLength || typeof plan.closeAfter === 'number';
  if (!(await conn.write(headBlock(answer, req, !closing)))) return progress;
  const body = req.method === 'HEAD' ? Buffer.alloc(0) : answer.body;
  const limit = typeof plan.closeAfter === 'number' ? Math.max(0, Math.min(plan.closeAfter, body.length)) : body.length;
  const rate = typeof plan.rate === 'number' ? plan.rate : 0;
  let at = 0;
  // After brokenAfter bytes of the body, bytes that are no TLS record: the client's read
  // fails (a reset or a clean close would read as an end).
  if (typeof plan.brokenAfter === 'number' && req.method !== 'HEAD') {
    await writeRange(conn, body, 0, Math.max(0, Math.min(plan.brokenAfter, limit)), rate, progress);
    conn.breakTls();
    return progress;
  }
  if (typeof plan.stallAfter === 'number' && req.method !== 'HEAD') {
    const pause = Math.max(0, Math.min(plan.stallAfter, limit));
    if (!(await writeRange(conn, body, 0, pause, rate, progress))) return progress;
    await pauseUnlessClosed(conn, typeof plan.stallMs === 'number' ? plan.stallMs : 1000);
    if (conn.isClosed()) return progress;
    at = pause;
  }
  if (!(await writeRange(conn, body, at, limit, rate, progress))) return progress;
  progress.complete = limit === body.length;
  if (closing) conn.end();
  else progress.open = true;
  return progress;
}

module.exports = { buildResponse, send, etagOf, textAnswer };

'use strict';
// The file host's ranges, entity tags and conditions, with the behaviour steps that bend
// them, over TLS on an ephemeral port of 127.0.0.1: the exact status line, headers and body
// bytes of each answer, and the line the host writes for it in the namespace's answers file.
const assert = require('node:assert');
const { execFileSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const test = require('node:test');
const tls = require('node:tls');
const { orElse } = require('../listen');
const { startServer } = require('./child');

const OBJECT = Buffer.from(Array.from({ length: 5000 }, (_, i) => (i * 7 + (i >> 8)) & 0xff));
const LEN = OBJECT.length;
const etagOf = (bytes) => '"' + crypto.createHash('sha256').update(bytes).digest('hex').slice(0, 32) + '"';
const ETAG = etagOf(OBJECT);

async function startHost(t) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'filehost-'));
  const cert = path.join(dir, 'cert.pem');
  const key = path.join(dir, 'key.pem');
  execFileSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1',
    '-nodes', '-keyout', key, '-out', cert, '-subj', '/CN=localhost', '-days', '1'], { stdio: 'ignore' });
  const root = path.join(dir, 'files');
  fs.mkdirSync(root);
  const { address, port } = await startServer(t, dir, 'filehost.js', (ready) => ['--root', root,
    '--cert', cert, '--key', key, '--pool', '1-1', '--port', '0', '--ready', ready]);
  return { address, port, root };
}

// A namespace holding OBJECT as "o.bin", with a behaviour for it when one is given.
function namespace(host, name, behaviour) {
  const control = path.join(host.root, name, '.velmot');
  fs.mkdirSync(path.join(control, 'behaviour'), { recursive: true });
  fs.writeFileSync(path.join(host.root, name, 'o.bin'), OBJECT);
  if (behaviour) fs.writeFileSync(path.join(control, 'behaviour', 'o.bin.json'), JSON.stringify(behaviour));
  // A file the host has not made yet holds no lines.
  const lines = (name) => orElse(() => fs.readFileSync(path.join(control, name), 'utf8'), '').split('\n').filter((l) => l);
  return { answers: () => lines('answers.jsonl').map((l) => JSON.parse(l)), requests: () => lines('requests.jsonl').length };
}

// One GET on its own connection, read to the connection's end (or its failure):
// {status, headers: {lower-case name: value}, body}.
function get(host, target, headers) {
  return new Promise((resolve, reject) => {
    const chunks = [];
    const socket = tls.connect({ host: host.address, port: host.port, rejectUnauthorized: false }, () => {
      const extra = Object.entries(headers || {}).map(([n, v]) => n + ': ' + v + '\r\n').join('');
      socket.write('GET ' + target + ' HTTP/1.1\r\nHost: files\r\nConnection: close\r\n' + extra + '\r\n');
    });
    socket.setTimeout(10000, () => socket.destroy(new Error('no end within 10 s')));
    socket.on('data', (d) => chunks.push(d));
    let done = false;
    const finish = (error) => {
      if (done) return;
      done = true;
      const bytes = Buffer.concat(chunks);
      const end = bytes.indexOf('\r\n\r\n');
      if (end < 0) return reject(error || new Error('no answer'));
      const lines = bytes.subarray(0, end).toString('latin1').split('\r\n');
      const answer = { status: Number(lines[0].split(' ')[1]), headers: {}, body: bytes.subarray(end + 4) };
      for (const line of lines.slice(1)) {
        const colon = line.indexOf(':');
        answer.headers[line.slice(0, colon).toLowerCase()] = line.slice(colon + 1).trim();
      }
      resolve(answer);
    };
    socket.on('end', () => finish());
    socket.on('close', () => finish());
    socket.on('error', (e) => (e.message.startsWith('no end') ? reject(e) : finish(e)));
  });
}

// The answers file has its line once the answer has ended, a moment after the client saw it.
async function lastAnswer(ns, count) {
  for (let i = 0; i < 100 && ns.answers().length < count; i++) await new Promise((r) => setTimeout(r, 20));
  assert.ok(ns.answers().length >= count, 'no answer line ' + count);
  return ns.answers()[count - 1];
}

const slice = (from, to) => OBJECT.subarray(from, to);
const flipped = (bytes, at) => {
  const copy = Buffer.from(bytes);
  copy[at] ^= 0xff;
  return copy;
};
const OBJECT_HEADERS = { etag: ETAG, 'accept-ranges': 'bytes' };

// Each case: the behaviour of o.bin, the request's headers, and exactly what comes back:
// status, headers (absent: undefined), body, and members of the answers-file line.
const cases = [
  { name: 'a plain GET: 200, the whole object, its ETag and Accept-Ranges',
    status: 200, headers: Object.assign({ 'content-length': String(LEN), 'content-range': undefined }, OBJECT_HEADERS),
    body: OBJECT, line: { status: 200, start: 0, length: LEN, sent: LEN, complete: true, range: null, etag: ETAG, objectLength: LEN } },
  { name: 'bytes=N-: 206, the rest of the object',
    request: { Range: 'bytes=1000-' },
    status: 206, headers: Object.assign({ 'content-length': String(LEN - 1000), 'content-range': `bytes 1000-${LEN - 1}/${LEN}` }, OBJECT_HEADERS),
    body: slice(1000), line: { status: 206, start: 1000, length: LEN - 1000, sent: LEN - 1000, complete: true, range: 'bytes=1000-' } },
  { name: 'bytes=N-M: 206, that slice',
    request: { Range: 'bytes=10-19' },
    status: 206, headers: Object.assign({ 'content-length': '10', 'content-range': `bytes 10-19/${LEN}` }, OBJECT_HEADERS),
    body: slice(10, 20), line: { start: 10, length: 10 } },
  { name: 'bytes=N-M past the end: 206 up to the last byte',
    request: { Range: `bytes=${LEN - 3}-${LEN + 100}` },
    status: 206, headers: { 'content-length': '3', 'content-range': `bytes ${LEN - 3}-${LEN - 1}/${LEN}` },
    body: slice(LEN - 3) },
  { name: 'bytes=len-: 416 naming the length',
    request: { Range: `bytes=${LEN}-` },
    status: 416, headers: { 'content-range': `bytes */${LEN}`, etag: undefined },
    body: Buffer.from('Range Not Satisfiable\n'), line: { status: 416, start: null, objectLength: LEN } },
  ...['bytes=20-10', 'bytes=-100', 'items=0-10', 'bytes=0-1,5-9', 'bytes=x-'].map((range) => ({
    name: `an unparsable Range (${range}) is ignored: 200 whole`,
    request: { Range: range },
    status: 200, headers: Object.assign({ 'content-range': undefined }, OBJECT_HEADERS), body: OBJECT })),
  { name: 'If-Match with the current ETag: the range is served',
    request: { Range: 'bytes=4990-', 'If-Match': ETAG },
    status: 206, headers: { 'content-range': `bytes 4990-${LEN - 1}/${LEN}` }, body: slice(4990),
    line: { ifMatch: ETAG } },
  { name: 'If-Match: * matches any object',
    request: { 'If-Match': '*' }, status: 200, body: OBJECT },
  ...[{}, { Range: 'bytes=100-' }].map((range) => ({
    name: 'If-Match with another ETag: 412 ConditionNotMet' + (range.Range ? ' (ranged)' : ' (plain)'),
    request: Object.assign({ 'If-Match': '"0123"' }, range),
    status: 412, headers: { 'x-ms-error-code': 'ConditionNotMet', etag: undefined, 'content-range': undefined },
    body: Buffer.from('Precondition Failed\n'), line: { status: 412, start: null, etag: null } })),
  { name: 'If-Match with the unquoted ETag does not match',
    request: { 'If-Match': ETAG.slice(1, -1) }, status: 412 },
  { name: 'ignoreRange: 200 with the whole body to a ranged request',
    behaviour: { ignoreRange: true }, request: { Range: 'bytes=1000-' },
    status: 200, headers: Object.assign({ 'content-length': String(LEN), 'content-range': undefined }, OBJECT_HEADERS),
    body: OBJECT, line: { status: 200, start: 0, range: 'bytes=1000-' } },
  { name: 'etag: the step reports its own ETag',
    behaviour: { etag: 'v2' }, status: 200, headers: { etag: '"v2"' }, body: OBJECT, line: { etag: '"v2"' } },
  { name: 'etag: If-Match is checked against the step\'s ETag',
    behaviour: { etag: 'v2' }, request: { Range: 'bytes=1000-', 'If-Match': ETAG },
    status: 412, headers: { 'x-ms-error-code': 'ConditionNotMet' } },
  { name: 'etag: a request naming the step\'s ETag is served',
    behaviour: { etag: '"v2"' }, request: { Range: 'bytes=1000-', 'If-Match': '"v2"' },
    status: 206, headers: { etag: '"v2"' }, body: slice(1000) },
  { name: 'storageError: the status answer carries x-ms-error-code',
    behaviour: { status: 503, storageError: 'ServerBusy' },
    status: 503, headers: { 'x-ms-error-code': 'ServerBusy', etag: undefined },
    body: Buffer.from('Service Unavailable\n'), line: { status: 503, start: null } },
  { name: 'closeAfter on a 206 counts bytes of its body',
    behaviour: { closeAfter: 500 }, request: { Range: 'bytes=1000-' },
    status: 206, headers: { 'content-length': String(LEN - 1000) }, body: slice(1000, 1500),
    line: { start: 1000, length: LEN - 1000, sent: 500, complete: false } },
  { name: 'brokenAfter on a 206 counts bytes of its body',
    behaviour: { brokenAfter: 300 }, request: { Range: 'bytes=2000-' },
    status: 206, body: slice(2000, 2300), line: { sent: 300, complete: false } },
  { name: 'corruptAt names an object byte, whichever range carries it',
    behaviour: { corruptAt: 1200 }, request: { Range: 'bytes=1000-1999' },
    status: 206, headers: { etag: ETAG }, body: flipped(slice(1000, 2000), 200), line: { corruptAt: 1200, sent: 1000 } },
];

test('ranges, entity tags, conditions and the steps that bend them', async (t) => {
  const host = await startHost(t);
  let n = 0;
  for (const c of cases) {
    await t.test(c.name, async () => {
      const ns = namespace(host, 'ns' + ++n, c.behaviour);
      const answer = await get(host, '/ns' + n + '/o.bin', c.request);
      assert.strictEqual(answer.status, c.status);
      for (const [name, value] of Object.entries(c.headers || {})) assert.strictEqual(answer.headers[name], value, name);
      if (c.body) assert.ok(answer.body.equals(c.body), 'body of ' + answer.body.length + ' bytes');
      const line = await lastAnswer(ns, 1);
      assert.strictEqual(line.path, '/ns' + n + '/o.bin');
      for (const [name, value] of Object.entries(c.line || {})) assert.deepStrictEqual(line[name], value, name);
      assert.strictEqual(ns.requests(), 1);
    });
  }
});

test('the ETag stays while the object does and follows its bytes', async (t) => {
  const host = await startHost(t);
  const ns = namespace(host, 'same');
  const first = await get(host, '/same/o.bin');
  const second = await get(host, '/same/o.bin', { Range: 'bytes=1-' });
  assert.strictEqual(first.headers.etag, ETAG);
  assert.strictEqual(second.headers.etag, ETAG);
  fs.writeFileSync(path.join(host.root, 'same', 'o.bin'), Buffer.from('replaced'));
  const changed = await get(host, '/same/o.bin', { 'If-Match': ETAG });
  assert.strictEqual(changed.status, 412);
  const fresh = await get(host, '/same/o.bin');
  assert.strictEqual(fresh.headers.etag, etagOf('replaced'));
  assert.strictEqual(fresh.body.toString(), 'replaced');
  // One answer line per request, in the order the answers ended.
  await lastAnswer(ns, 4);
  assert.deepStrictEqual(ns.answers().map((a) => a.status), [200, 206, 412, 200]);
});

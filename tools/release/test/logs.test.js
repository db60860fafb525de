'use strict';
// tools/logs over uploads as the program makes them: each way a run ends is counted at its
// step and cause, unreadable uploads are counted and named, the window and the release
// narrow the listing, computer ids and user names are hidden unless asked for. Then the
// reference web service against the blob storage emulator: an upload lands in the
// container under its day and release (also when its computer runs two releases),
// refused bodies land nowhere.
// The second part needs tools/test-env's environment (ctest -R LogsTool).
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const os = require('os');
const path = require('path');
const https = require('https');
const zlib = require('zlib');
const crypto = require('crypto');
const { spawnSync } = require('child_process');
const { createRequire } = require('module');
const { KINDS, writeUpload, writeWeek, computerId } = require('./logfixture');
const { parseUploadBlobName, dayPrefix } = require('../uploadnames');

const root = path.join(__dirname, '..', '..', '..');
const tool = path.join(root, 'tools', 'logs');
const env = process.env;

function logs(args) {
  const run = spawnSync(tool, args, { encoding: 'utf8', env: Object.assign({}, env, { NODE_EXTRA_CA_CERTS: env.VELMOT_TEST_CA_FILE || '' }), timeout: 60000 });
  return run;
}

function logsJson(args) {
  const run = logs([...args, '--json']);
  assert.strictEqual(run.status, 0, run.stderr);
  return JSON.parse(run.stdout);
}

function tempDir() {
  return fs.mkdtempSync(path.join(os.tmpdir(), 'velmot-logs-'));
}

test('every way a run ends is counted at its step and cause; unreadable uploads are named', () => {
  const dir = tempDir();
  try {
    const when = new Date(Date.UTC(2026, 10, 3, 10));
    Object.entries(KINDS).forEach(([kind, k], i) =>
      writeUpload(dir, new Date(when.getTime() + i * 1000), 'Velmot Pro 10', computerId(i), k.records('Velmot Pro 10'), 'beef0' + i));
    fs.writeFileSync(path.join(dir, '2026', '11', '03', 'Velmot Pro 10', 'notes.txt'), 'a stray blob');
    const odd = writeUpload(dir, when, 'Velmot Pro 10', computerId(99), [], 'cafe01');
    fs.writeFileSync(path.join(dir, ...odd.split('/')), zlib.gzipSync(Buffer.from('[1]', 'utf16le')));
    const summary = logsJson(['--from', dir, '--since', '2026-11-03', '--until', '2026-11-03']);
    const kinds = Object.values(KINDS);
    assert.strictEqual(summary.runs, kinds.length);
    assert.deepStrictEqual(summary.causes.map((c) => c.cause).sort(), kinds.map((k) => k.cause).sort());
    for (const c of summary.causes) assert.strictEqual(c.runs, 1, c.cause);
    assert.deepStrictEqual(summary.steps, {
      request: 2, 'CRC info document': 1, parts: 1, merge: 1, verification: 0, 'setup start': 1, 'closed by the user': 2,
    });
    assert.deepStrictEqual(summary.unreadable, [
      { upload: '2026/11/03/Velmot Pro 10/100000000-' + computerId(99).slice(0, 8) + '…-cafe01.json.gz', reason: 'not a report: record 0 is not an object' },
      { upload: '2026/11/03/Velmot Pro 10/notes.txt', reason: 'the name is not that of an upload' },
    ]);
    const n = kinds.length;
    const share = (k) => Math.round((k / n) * 10000) / 10000;
    assert.deepStrictEqual(summary.shares, {
      outage: { runs: 2, share: share(2) }, renewal: { runs: 1, share: share(1) },
      signInPage: { runs: 1, share: share(1) }, fullDisk: { runs: 1, share: share(1) },
    });
    assert.deepStrictEqual(summary.hosts[0], { host: 'velmotfiles.blob.core.windows.net', runs: 6 });
    assert.deepStrictEqual(summary.errors[0], {
      error_number: -32766, code: '0xffff8002', name: 'DL_MANAGER_CRC_INCORRECT', text: 'CRC Check of file : <path> failed!', runs: 1, records: 2,
    });
    // Shortened ids and hidden user names, unless asked for.
    const example = summary.causes.find((c) => c.cause === KINDS.gaveUpCrc.cause).examples[0];
    assert.strictEqual(example.computer, computerId(4).slice(0, 8));
    assert.strictEqual(example.record.message, 'CRC Check of file : C:/Users/…/Downloads/Velmot Data_31.bin failed!');
    const full = logsJson(['--from', dir, '--since', '2026-11-03', '--until', '2026-11-03', '--full-ids']);
    const fullExample = full.causes.find((c) => c.cause === KINDS.gaveUpCrc.cause).examples[0];
    assert.strictEqual(fullExample.computer, computerId(4));
    assert.match(fullExample.record.message, /C:\/Users\/jane\//);
    assert.doesNotMatch(logs(['--from', dir, '--since', '2026-11-03', '--until', '2026-11-03']).stdout, /jane|c0ffee/);
  } finally {
    fs.rmSync(dir, { recursive: true });
  }
});

test('the window and the release narrow the listing; bad arguments are refused', () => {
  const dir = tempDir();
  try {
    const week = writeWeek(dir);
    const all = logsJson(['--from', dir, '--since', week.since, '--until', week.until]);
    assert.strictEqual(all.runs, week.runs);
    assert.deepStrictEqual(all.days.map((d) => d.runs), [3, 4, 6, 8, 5, 4, 4]);
    assert.strictEqual(all.causes.reduce((n, c) => n + c.runs, 0), week.runs);
    assert.deepStrictEqual(all.unreadable.map((u) => u.upload), [week.bad.replace(/(\d{9}-\w{8})\w+/, '$1…')]);
    const lite = logsJson(['--from', dir, '--since', week.since, '--until', week.until, '--release', 'Velmot Lite 4']);
    assert.strictEqual(lite.runs, all.releases.find((r) => r.release === 'Velmot Lite 4').runs);
    const noon = logsJson(['--from', dir, '--since', '2026-11-05T00:00Z', '--until', '2026-11-05T11:59Z']);
    assert.strictEqual(noon.runs, 3);
    for (const args of [['--since', 'yesterday'], ['--frm', dir], ['--since', '2026-11-05', '--until', '2026-11-04']]) {
      const run = logs(['--from', dir, ...args]);
      assert.strictEqual(run.status, 2, args.join(' ') + ': ' + run.stderr);
    }
  } finally {
    fs.rmSync(dir, { recursive: true });
  }
});

const ready = Boolean(env.VELMOT_BLOB_CONNECTION_STRING && env.VELMOT_SERVICE_PORT && env.VELMOT_TEST_CA_FILE);
const skip = ready ? false : 'needs the test servers (run through tools/test-env)';

function post(headers, body) {
  return new Promise((resolve, reject) => {
    const req = https.request({
      // IPv4: the service listens on 127.0.0.1, and Node 18 resolves localhost to ::1 first.
      host: 'localhost', family: 4, port: Number(env.VELMOT_SERVICE_PORT), path: '/Velmot/DownloadManager8.ashx', method: 'POST',
      headers: Object.assign({ 'Content-Length': body.length }, headers), ca: fs.readFileSync(env.VELMOT_TEST_CA_FILE),
    }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => resolve({ status: res.statusCode, body: Buffer.concat(chunks).toString() }));
    });
    req.on('error', reject);
    req.end(body);
  });
}

async function uploadsOf(id) {
  const { BlobServiceClient } = createRequire(path.join(root, 'tests', 'servers', 'package.json'))('@azure/storage-blob');
  const container = BlobServiceClient.fromConnectionString(env.VELMOT_BLOB_CONNECTION_STRING).getContainerClient('uploads');
  const out = [];
  for await (const blob of container.listBlobsFlat({ prefix: dayPrefix(new Date()), includeMetadata: true })) {
    if (blob.name.includes('-' + id + '-')) out.push(blob);
  }
  return out;
}

test('the web service keeps an upload as a blob under its day and release, and refuses what is no report', { skip, timeout: 60000 }, async () => {
  if (!globalThis.crypto) globalThis.crypto = crypto.webcrypto;
  const id = crypto.randomBytes(20).toString('hex');
  const release = 'Velmot Blob ' + id.slice(0, 6);
  const asked = await post({ Method: 'RequestDownload', ComputerId: id, 'Content-Type': 'application/x-www-form-urlencoded' },
    Buffer.from('DownloadManagerVersion=9%2e5&ReleaseName=' + encodeURIComponent(release)));
  assert.match(asked.body, /Unknown release/);
  // The same computer runs a second release meanwhile: each upload still finds its own.
  const other = release + ' Other';
  await post({ Method: 'RequestDownload', ComputerId: id, 'Content-Type': 'application/x-www-form-urlencoded' },
    Buffer.from('DownloadManagerVersion=9%2e5&ReleaseName=' + encodeURIComponent(other)));
  const report = zlib.gzipSync(Buffer.from(JSON.stringify(KINDS.unknownRelease.records(release)), 'utf16le'));
  const upload = { Method: 'LogErrorInfo', ComputerId: id, DownloadManagerVersion: '9.5', 'Content-Type': 'application/octet-stream' };
  const before = new Date();
  const stored = await post(upload, report);
  assert.strictEqual(stored.status, 200, stored.body);
  // Answered only once the blob is there.
  const blobs = await uploadsOf(id);
  assert.strictEqual(blobs.length, 1);
  const parsed = parseUploadBlobName(blobs[0].name);
  assert.strictEqual(parsed.release, release);
  assert.ok(Math.abs(parsed.time - before) < 60000);
  assert.deepStrictEqual(blobs[0].metadata, { release: release, computerid: id, version: '9.5' });

  assert.strictEqual((await post(upload, Buffer.from('not gzip'))).status, 400);
  assert.strictEqual((await post(upload, Buffer.concat([report, Buffer.alloc(8 * 1024 * 1024)]))).status, 413);
  assert.strictEqual((await uploadsOf(id)).length, 1);
  const partsOfOther = [{ detailed_message: '', error_number: 0, file: 'src/download/filedownload.cpp', line: 1, log_index: 0,
    message: 'Download: C:\\users\\jane\\AppData\\Local/' + other + '/Setup_31.exepart0 correct CRC. Download succesful.' }];
  assert.strictEqual((await post(upload, zlib.gzipSync(Buffer.from(JSON.stringify(partsOfOther), 'utf16le')))).status, 200);
  assert.deepStrictEqual((await uploadsOf(id)).map((b) => parseUploadBlobName(b.name).release).sort(), [release, other]);

  const summary = logsJson(['--from', env.VELMOT_BLOB_CONNECTION_STRING, '--release', release, '--since', before.toISOString().slice(0, 10)]);
  assert.strictEqual(summary.runs, 1);
  assert.strictEqual(summary.causes[0].cause, KINDS.unknownRelease.cause);
});

'use strict';
// The release as the download manager will read it: CRC-32 values, the CRC info document's
// exact bytes, the parts' names and sizes, and the names the product would refuse.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const os = require('os');
const path = require('path');
const zlib = require('zlib');
const { crc32, signed, planRelease, nameProblem, releaseProblem, prefixProblem, RefusedError, PART_SIZE, readPart } =
  require('../release');

function tempDir() {
  return fs.mkdtempSync(path.join(os.tmpdir(), 'velmot-release-'));
}

// Bytes that differ part to part, cheaply.
function pattern(n, seed) {
  const b = Buffer.allocUnsafe(n);
  let x = seed >>> 0 || 1;
  for (let i = 0; i < n; i++) {
    x ^= x << 13; x >>>= 0; x ^= x >>> 17; x ^= x << 5; x >>>= 0;
    b[i] = x & 0xFF;
  }
  return b;
}

test('CRC-32 of the check digits is the document value -873187034', () => {
  assert.strictEqual(crc32(Buffer.from('123456789')), 0xCBF43926);
  assert.strictEqual(signed(crc32(Buffer.from('123456789'))), -873187034);
  assert.strictEqual(crc32(Buffer.alloc(0)), 0);
  // Continued over pieces, and the same as zlib's (gzip's trailer holds the CRC-32).
  const bytes = pattern(100003, 7);
  assert.strictEqual(crc32(bytes.subarray(5000), crc32(bytes.subarray(0, 5000))), crc32(bytes));
  assert.strictEqual(crc32(bytes), zlib.gzipSync(bytes).readUInt32LE(zlib.gzipSync(bytes).length - 8));
});

test('the document: release first, then name, size and one signed CRC per part, all CRLF', () => {
  const dir = tempDir();
  const digits = path.join(dir, 'digits.txt');
  fs.writeFileSync(digits, '123456789');
  const big = path.join(dir, 'VelmotData.cab');
  const bytes = pattern(25000000, 3);
  fs.writeFileSync(big, bytes);
  const plan = planRelease('Velmot 11', [digits, big]);
  const crcs = [0, 1, 2].map((k) => signed(crc32(bytes.subarray(k * PART_SIZE, (k + 1) * PART_SIZE))));
  assert.strictEqual(plan.documentName, 'Velmot 11.txt');
  assert.strictEqual(plan.document.toString('latin1'),
    'Velmot 11;digits.txt\r\n9\r\n-873187034\r\n;VelmotData.cab\r\n25000000\r\n' +
    crcs.map((c) => c + '\r\n').join(''));
  const parts = plan.files[1].parts;
  assert.deepStrictEqual(parts.map((p) => [p.blobName, p.offset, p.size]),
    [['0_VelmotData.cab', 0, 10000000], ['1_VelmotData.cab', 10000000, 10000000], ['2_VelmotData.cab', 20000000, 5000000]]);
  assert.ok(readPart(parts[2]).equals(bytes.subarray(20000000)));
  fs.rmSync(dir, { recursive: true });
});

test('a file of exactly one part has one CRC line; one byte more makes two parts', () => {
  const dir = tempDir();
  fs.writeFileSync(path.join(dir, 'a.bin'), pattern(PART_SIZE, 1));
  fs.writeFileSync(path.join(dir, 'b.bin'), pattern(PART_SIZE + 1, 2));
  const plan = planRelease('R', [path.join(dir, 'a.bin'), path.join(dir, 'b.bin')]);
  assert.deepStrictEqual(plan.files.map((f) => f.parts.map((p) => p.size)), [[PART_SIZE], [PART_SIZE, 1]]);
  assert.strictEqual(plan.document.toString('latin1').split('\r\n').length, 1 + 2 + 1 + 1 + 2 + 1);
  fs.rmSync(dir, { recursive: true });
});

test('names with spaces are listed and cut as they are', () => {
  const dir = tempDir();
  const file = path.join(dir, 'Velmot Pro Setup.exe');
  fs.writeFileSync(file, 'MZ setup');
  const plan = planRelease('Velmot Pro 2', [file]);
  assert.strictEqual(plan.files[0].parts[0].blobName, '0_Velmot Pro Setup.exe');
  assert.strictEqual(plan.documentName, 'Velmot Pro 2.txt');
  assert.ok(plan.document.toString('latin1').startsWith('Velmot Pro 2;Velmot Pro Setup.exe\r\n8\r\n'));
  fs.rmSync(dir, { recursive: true });
});

test('an empty file is listed with size 0, no CRC line and no part', () => {
  const dir = tempDir();
  fs.writeFileSync(path.join(dir, 'empty.dat'), '');
  fs.writeFileSync(path.join(dir, 'Setup.exe'), 'MZ');
  const plan = planRelease('R', [path.join(dir, 'Setup.exe'), path.join(dir, 'empty.dat')]);
  assert.deepStrictEqual(plan.files[1].parts, []);
  assert.ok(plan.document.toString('latin1').endsWith(';empty.dat\r\n0\r\n'));
  fs.rmSync(dir, { recursive: true });
});

test('names the download manager would refuse, and every problem at once', () => {
  for (const bad of ['a:b.txt', 'x?.bin', 'CON', 'con.txt', 'LPT1.log', 'COM\u00B9.txt', 'ends.', 'ends ',
    'a..b', 'semi;colon.txt', 'tab\there', 'caf\u00E9.txt', 'x'.repeat(191)]) {
    assert.notStrictEqual(nameProblem(bad), null, bad);
  }
  for (const good of ['Setup.exe', 'Velmot Data 1.bin', 'CONSOLE.txt', 'a.b.c', 'x'.repeat(190), '0_a']) {
    assert.strictEqual(nameProblem(good), null, good);
  }
  assert.notStrictEqual(releaseProblem('Velmot 2_5'), null);
  assert.notStrictEqual(releaseProblem('Velmot;1'), null);
  assert.strictEqual(releaseProblem('Velmot Pro'), null);
  assert.strictEqual(prefixProblem(''), null);
  assert.strictEqual(prefixProblem('releases/velmot-11'), null);
  assert.notStrictEqual(prefixProblem('Releases/v11'), null);
  assert.notStrictEqual(prefixProblem('a//b'), null);
  assert.notStrictEqual(prefixProblem('a/../b'), null);
  assert.notStrictEqual(prefixProblem('with space'), null);

  const dir = tempDir();
  fs.writeFileSync(path.join(dir, 'AUX.txt'), 'x');
  fs.writeFileSync(path.join(dir, 'ok.txt'), 'x');
  fs.mkdirSync(path.join(dir, 'sub'));
  fs.writeFileSync(path.join(dir, 'sub', 'OK.TXT'), 'y');
  assert.throws(() => planRelease('R 2_5', [path.join(dir, 'AUX.txt'), path.join(dir, 'ok.txt'),
    path.join(dir, 'sub', 'OK.TXT'), path.join(dir, 'missing.bin')]), (e) => {
    const lines = e.message.split('\n');
    assert.strictEqual(lines.length, 4, e.message);
    assert.match(lines[0], /^release name "R 2_5": /);
    assert.strictEqual(lines[1], '"AUX.txt": "AUX" is a Windows device name');
    assert.match(lines[2], /^"OK.TXT" is listed twice/);
    assert.match(lines[3], /missing\.bin: cannot be read \(ENOENT\)$/);
    return true;
  });
  fs.rmSync(dir, { recursive: true });
});

test('tools/publish --dry-run prints the plan and the document, refuses with status 2', () => {
  const { spawnSync } = require('child_process');
  const tool = path.join(__dirname, '..', '..', 'publish');
  const dir = tempDir();
  fs.writeFileSync(path.join(dir, 'digits.txt'), '123456789');
  let run = spawnSync(tool, ['Velmot 11', path.join(dir, 'digits.txt'), '--prefix', 'rel/v11', '--dry-run'], { encoding: 'utf8' });
  assert.strictEqual(run.status, 0, run.stderr);
  assert.ok(run.stdout.includes('rel/v11/0_digits.txt  9 bytes  CRC -873187034\n'), run.stdout);
  assert.ok(run.stdout.includes('Velmot 11;digits.txt\\r\\n\n9\\r\\n\n-873187034\\r\\n\n'), run.stdout);
  run = spawnSync(tool, ['Velmot 11', path.join(dir, 'digits.txt'), '--prefix', 'Rel', '--dry-run'], { encoding: 'utf8' });
  assert.strictEqual(run.status, 2);
  assert.match(run.stderr, /^publish: refused:\n  prefix "Rel": the download manager lower-cases the folder/);
  run = spawnSync(tool, ['Velmot 11', path.join(dir, 'digits.txt')], { encoding: 'utf8' });
  assert.strictEqual(run.status, 2);
  assert.match(run.stderr, /--to is missing/);
  fs.rmSync(dir, { recursive: true });
});

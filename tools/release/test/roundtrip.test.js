'use strict';
// tools/publish against the blob storage emulator the test environment runs (Azurite,
// started by tools/test-env), and then the real download manager under Wine fetching the
// release through the reference web service's fresh SAS token.
// Needs tools/test-env's environment; run through tools/test (ctest -R PublishTool).
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const os = require('os');
const path = require('path');
const crypto = require('crypto');
const { spawn, spawnSync } = require('child_process');
const { createRequire } = require('module');
const { planRelease } = require('../release');
const { verify } = require('../publish');

const root = path.join(__dirname, '..', '..', '..');
const tool = path.join(root, 'tools', 'publish');
const requireServers = createRequire(path.join(root, 'tests', 'servers', 'package.json'));
const env = process.env;
const ready = Boolean(env.VELMOT_BLOB_CONNECTION_STRING && env.VELMOT_SERVICE_DIR && env.VELMOT_TEST_CA_FILE);
const skip = ready ? false : 'needs the test servers (run through tools/test-env)';
// The storage client trusts the build's test CA like the product does in its prefix.
const childEnv = Object.assign({}, env, { NODE_EXTRA_CA_CERTS: env.VELMOT_TEST_CA_FILE || '' });

function unique(stem) {
  return stem + '-' + process.pid + '-' + crypto.randomBytes(3).toString('hex');
}

function tempDir() {
  return fs.mkdtempSync(path.join(os.tmpdir(), 'velmot-publish-'));
}

function container(name) {
  const { BlobServiceClient } = requireServers('@azure/storage-blob');
  return BlobServiceClient.fromConnectionString(env.VELMOT_BLOB_CONNECTION_STRING).getContainerClient(name);
}

function publish(args) {
  return spawnSync(tool, args, { encoding: 'utf8', env: childEnv, timeout: 120000 });
}

test('publish uploads parts and document, a second run uploads nothing, a changed part is caught', { skip }, async () => {
  const dir = tempDir();
  const name = unique('pub');
  const data = path.join(dir, 'Velmot Data.bin');
  fs.writeFileSync(data, crypto.randomBytes(12000000));
  fs.writeFileSync(path.join(dir, 'Setup.exe'), 'MZ not really');
  const files = [path.join(dir, 'Setup.exe'), data];
  const args = ['Velmot Pub', ...files, '--to', env.VELMOT_BLOB_CONNECTION_STRING, '--container', name, '--prefix', 'rel/v1'];
  try {
    let run = publish(args);
    assert.strictEqual(run.status, 0, run.stderr + run.stdout);
    assert.match(run.stdout, /uploaded 4 blob\(s\), 0 already there/);
    assert.match(run.stdout, /read back 3 parts and the document: all as listed/);

    const blobs = [];
    for await (const blob of container(name).listBlobsFlat()) {
      blobs.push([blob.name, blob.properties.contentLength, blob.properties.contentType]);
    }
    assert.deepStrictEqual(blobs.sort(), [
      ['rel/v1/0_Setup.exe', 13, 'application/octet-stream'],
      ['rel/v1/0_Velmot Data.bin', 10000000, 'application/octet-stream'],
      ['rel/v1/1_Velmot Data.bin', 2000000, 'application/octet-stream'],
      ['rel/v1/Velmot Pub.txt', planRelease('Velmot Pub', files).document.length, 'application/octet-stream'],
    ]);

    run = publish(args);
    assert.strictEqual(run.status, 0, run.stderr);
    assert.match(run.stdout, /uploaded 0 blob\(s\), 4 already there/);

    // One part changed in the container: the read-back check names it.
    await container(name).getBlockBlobClient('rel/v1/1_Velmot Data.bin').upload(Buffer.alloc(2000000, 1), 2000000);
    const out = { write() {} };
    const problems = await verify(container(name), planRelease('Velmot Pub', files), (n) => 'rel/v1/' + n, out);
    assert.strictEqual(problems.length, 1, problems.join('\n'));
    assert.match(problems[0], /^rel\/v1\/1_Velmot Data\.bin: CRC -?\d+ read back, -?\d+ in the document$/);
    // A second publish puts the right bytes back (same length, other MD5).
    run = publish(args);
    assert.strictEqual(run.status, 0, run.stderr);
    assert.match(run.stdout, /uploaded 1 blob\(s\), 3 already there/);
  } finally {
    await container(name).deleteIfExists();
    fs.rmSync(dir, { recursive: true });
  }
});

// The product's local name for a listed file: the product code inserted before ".exe",
// or seven characters before the end of other names (appended to shorter ones).
function localName(listed, code) {
  const suffix = '_' + code;
  if (listed.includes('.exe')) return listed.slice(0, -4) + suffix + listed.slice(-4);
  if (listed.length >= 7) return listed.slice(0, -7) + suffix + listed.slice(-7);
  return listed + suffix;
}

function runProgram(exe, cwd, timeoutMs) {
  return new Promise((resolve) => {
    const child = spawn('wine', [exe], { cwd, env, stdio: 'ignore' });
    const timer = setTimeout(() => child.kill('SIGKILL'), timeoutMs);
    child.on('exit', (code) => {
      clearTimeout(timer);
      resolve(code);
    });
  });
}

test('a release published with tools/publish downloads through a fresh SAS into identical files', { skip, timeout: 240000 }, async () => {
  const build = env.VELMOT_BUILD_DIR;
  assert.ok(build, 'VELMOT_BUILD_DIR is not set');
  const dir = tempDir();
  const release = 'Velmot Round ' + crypto.randomBytes(3).toString('hex');
  const name = unique('trip');
  const source = path.join(dir, 'release');
  const download = path.join(dir, 'download');
  fs.mkdirSync(source);
  fs.mkdirSync(download);
  const files = {
    'Setup.exe': fs.readFileSync(path.join(build, 'tests', 'fakesetup.exe')),
    'Velmot Data 1.bin': crypto.randomBytes(21000000),
    'notes.txt': Buffer.from('read me\r\n'),
  };
  for (const [n, bytes] of Object.entries(files)) fs.writeFileSync(path.join(source, n), bytes);
  const catalogue = path.join(env.VELMOT_SERVICE_DIR, 'catalogue.d', name + '.json');
  const work = path.join(env.WINEPREFIX || '', 'drive_c', 'users', os.userInfo().username, 'AppData', 'Local', release);
  try {
    const run = publish([release, ...Object.keys(files).map((n) => path.join(source, n)),
      '--to', env.VELMOT_BLOB_CONNECTION_STRING, '--container', name, '--prefix', 'velmot/round']);
    assert.strictEqual(run.status, 0, run.stderr + run.stdout);
    fs.writeFileSync(catalogue, JSON.stringify({
      release,
      entry: { product_code: '31', company_name: 'Velmot Test', storage: { container: name, prefix: 'velmot/round' } },
    }));
    const exe = path.join(download, release + '_b1.exe');
    fs.copyFileSync(path.join(build, 'src', 'velmot-dm.exe'), exe);
    // The program closes itself once setup has started.
    const code = await runProgram(exe, download, 180000);
    assert.strictEqual(code, 0);
    for (const [n, bytes] of Object.entries(files)) {
      const local = path.join(download, localName(n, '31'));
      assert.ok(fs.existsSync(local), local + ' is missing');
      assert.ok(fs.readFileSync(local).equals(bytes), local + ' differs');
    }
    const marker = path.join(download, 'fakesetup-ran.txt');
    for (let i = 0; i < 100 && !fs.existsSync(marker); i++) await new Promise((r) => setTimeout(r, 100));
    assert.ok(fs.existsSync(marker), 'setup did not start');
    assert.ok(!fs.existsSync(work), 'the work folder is left');
  } finally {
    fs.rmSync(catalogue, { force: true });
    fs.rmSync(work, { recursive: true, force: true });
    await container(name).deleteIfExists();
    fs.rmSync(dir, { recursive: true });
  }
});

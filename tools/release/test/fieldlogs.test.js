'use strict';
// From the field to the maker: the real download manager under Wine asks for a release the
// web service does not know, is closed by its user, and uploads its log; the log lands in
// the blob storage emulator's "uploads" container under the day and the release, and
// tools/logs counts the run at the request, refused by the web service.
// Needs tools/test-env's environment; run through tools/test (ctest -R LogsTool).
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const os = require('os');
const path = require('path');
const crypto = require('crypto');
const { spawn, spawnSync } = require('child_process');
const { dayPrefix } = require('../uploadnames');

const root = path.join(__dirname, '..', '..', '..');
const env = process.env;
const ready = Boolean(env.VELMOT_BLOB_CONNECTION_STRING && env.VELMOT_SERVICE_DIR && env.VELMOT_BUILD_DIR && env.WINEPREFIX);
const skip = ready ? false : 'needs the test servers and the Wine prefix (run through tools/test-env)';
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Whether the web service has seen this release asked for (its request log).
function asked(release) {
  let text = '';
  try {
    text = fs.readFileSync(path.join(env.VELMOT_SERVICE_DIR, 'requests.jsonl'), 'utf8');
  } catch (e) {
    return false;
  }
  return text.split('\n').some((line) => {
    if (!line.includes('"RequestDownload"')) return false;
    const form = new URLSearchParams(Buffer.from(JSON.parse(line).bodyBase64, 'base64').toString('latin1'));
    return form.get('ReleaseName') === release;
  });
}

test('a run the web service refuses uploads its log into the container, and tools/logs names the cause', { skip, timeout: 240000 }, async () => {
  const release = 'Velmot Field ' + crypto.randomBytes(3).toString('hex');
  const exeName = release + '_b1.exe';
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'velmot-field-'));
  const work = path.join(env.WINEPREFIX, 'drive_c', 'users', os.userInfo().username, 'AppData', 'Local', release);
  const started = new Date(Date.now() - 60000);
  fs.copyFileSync(path.join(env.VELMOT_BUILD_DIR, 'src', 'velmot-dm.exe'), path.join(dir, exeName));
  const child = spawn('wine', [path.join(dir, exeName)], { cwd: dir, env, stdio: 'ignore' });
  let exited = null;
  child.on('exit', (code) => { exited = code; });
  try {
    for (let i = 0; i < 600 && !asked(release) && exited === null; i++) await sleep(100);
    assert.ok(asked(release), 'the program did not ask for its release');
    // The user reads the refusal in the window and closes it (Wine's taskkill without /f
    // posts WM_CLOSE, as the close button would); the close sequence uploads the log.
    await sleep(2000);
    for (let i = 0; i < 20 && exited === null; i++) {
      spawnSync('wine', ['taskkill', '/im', exeName], { env, stdio: 'ignore', timeout: 30000 });
      for (let j = 0; j < 30 && exited === null; j++) await sleep(100);
    }
    assert.strictEqual(exited, 0, 'the program did not end after its window was closed');

    const run = spawnSync(path.join(root, 'tools', 'logs'), ['--from', env.VELMOT_BLOB_CONNECTION_STRING, '--release', release,
      '--since', started.toISOString(), '--json'], { encoding: 'utf8', env, timeout: 60000 });
    assert.strictEqual(run.status, 0, run.stderr);
    const summary = JSON.parse(run.stdout);
    // Programs of other tests share this prefix's computer id; an upload of theirs that
    // names no release of its own is filed under the release asked for last, which may be
    // this one. This run's upload is the one refused for its release.
    assert.deepStrictEqual(summary.unreadable, []);
    const refused = summary.causes.find((c) => c.cause === 'request: refused by the web service: Unknown release "…"');
    assert.ok(refused, run.stdout);
    assert.strictEqual(refused.runs, 1, run.stdout);
    assert.ok(summary.steps.request >= 1);
    const example = refused.examples[0];
    assert.ok(example.upload.startsWith(dayPrefix(new Date(example.time)) + release + '/'), example.upload);
    assert.match(example.computer, /^[0-9a-f]{8}$/);
    assert.strictEqual(example.release, release);
    assert.match(example.record.message, new RegExp('Unknown release \\\\"' + release + '\\\\"'));
    assert.ok(summary.hosts.some((h) => h.host === 'localhost'), JSON.stringify(summary.hosts));
  } finally {
    if (exited === null) child.kill('SIGKILL');
    fs.rmSync(work, { recursive: true, force: true });
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

'use strict';
// One test server of tests/servers as a child process of a node test: started with its
// arguments, waited for until it writes its ready file ("ADDRESS PORT"), and stopped, its
// folder removed, when the test ends. What it prints is kept for output().
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

// script: a file name in tests/servers; args(ready) gives its arguments for the ready file.
async function startServer(t, dir, script, args) {
  const ready = path.join(dir, 'ready');
  const child = spawn(process.execPath, [path.join(__dirname, '..', script), ...args(ready)],
    { stdio: ['ignore', 'pipe', 'ignore'] });
  let printed = '';
  child.stdout.on('data', (d) => { printed += d; });
  const exited = new Promise((resolve) => child.once('exit', resolve));
  t.after(async () => {
    child.kill();
    await exited;
    fs.rmSync(dir, { recursive: true, force: true });
  });
  for (let i = 0; i < 200 && !fs.existsSync(ready); i++) await new Promise((r) => setTimeout(r, 50));
  const [address, port] = fs.readFileSync(ready, 'utf8').trim().split(' ');
  return { address, port: Number(port), output: () => printed };
}

module.exports = { startServer };
